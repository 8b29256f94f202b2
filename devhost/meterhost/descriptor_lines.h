// Reads a descriptor (a pipe) to its end, a line at a time, so that lines
// written in several pieces are handed on whole.
#pragma once

#include <functional>
#include <string>

namespace meterhost {

// Each line without its line feed; a last line that has none is handed on
// too, with ended false. Returns at the end of input or on a read error.
using LineTaker = std::function<void(const std::string& line, bool ended)>;
void read_lines_to_end(int fd, const LineTaker& take);

}  // namespace meterhost
