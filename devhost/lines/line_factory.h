// The kind of line a port names, and a line of that kind.
#pragma once

#include <memory>

#include "devhost/lines/line.h"

namespace devhost {

// A line for settings.port, not yet open: a serial line, or a network line
// for the address forms of line_address.h. Throws std::invalid_argument for a
// port that parse_line_settings() refuses.
std::unique_ptr<Line> make_line(const LineSettings& settings);

}  // namespace devhost
