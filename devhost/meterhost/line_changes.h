// Whether a message of a line's back-end (devhost/lines/line_transport.h)
// says that its line failed or came back. The back-end tells this only as
// a message; the session reads it here, in this one place, to raise its
// typed line events.
#pragma once

#include <string>

namespace meterhost {

enum class LineChange { None, Lost, Back };

// The change the message tells of the line on `port`.
LineChange line_change_in(const std::string& message, const std::string& port);

}  // namespace meterhost
