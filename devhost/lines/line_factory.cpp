#include "devhost/lines/line_factory.h"

#include <stdexcept>

#include "devhost/lines/line_address.h"
#include "devhost/lines/modbus_tcp_line.h"
#include "devhost/lines/rtu_over_tcp_line.h"
#include "devhost/lines/serial_line.h"

namespace devhost {

std::unique_ptr<Line> make_line(const LineSettings& settings)
{
    LineAddress address;
    std::string error;
    if (!parse_line_address(settings.port, address, error))
        throw std::invalid_argument(error);
    switch (address.kind) {
    case LineKind::ModbusTcp: return std::make_unique<ModbusTcpLine>(settings, address);
    case LineKind::RtuOverTcp: return std::make_unique<RtuOverTcpLine>(settings, address);
    case LineKind::Serial: break;
    }
    return std::make_unique<SerialLine>(settings);
}

}  // namespace devhost
