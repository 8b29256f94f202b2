// The kind of line a port names, and a line of that kind.
#pragma once

#include <memory>

#include "line.h"

namespace devhost {

// A line for settings.port, not yet open.
std::unique_ptr<Line> make_line(const LineSettings& settings);

}  // namespace devhost
