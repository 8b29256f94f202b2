// meterhost's help text apart from its option lists.
#pragma once

#include <string>
#include <vector>

namespace meterhost {

// The prose parts: the usage and the polling, write and scan sections; the
// line options' introduction; "Options:"; standard output and exit status.
// Each is followed by its group of options (HelpGroup, command_line.cpp).
const std::vector<std::string>& help_prose();

}  // namespace meterhost
