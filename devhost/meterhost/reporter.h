// How the bench host's parts hand on a message for the user: one line of
// text, without a line feed, from any thread.
#pragma once

#include <functional>
#include <string>

namespace meterhost {

using Reporter = std::function<void(const std::string&)>;

}  // namespace meterhost
