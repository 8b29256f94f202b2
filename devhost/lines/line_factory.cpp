#include "line_factory.h"

#include "serial_line.h"

namespace devhost {

std::unique_ptr<Line> make_line(const LineSettings& settings)
{
    return std::make_unique<SerialLine>(settings);
}

}  // namespace devhost
