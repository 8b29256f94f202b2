#include "devhost/lines/line_factory.h"

#include <stdexcept>

#include "devhost/lines/modbus_tcp_line.h"
#include "devhost/lines/rtu_over_tcp_line.h"
#include "devhost/lines/serial_line.h"
#include "modbus/line_address.h"

namespace devhost {

std::unique_ptr<Line> make_line(const LineSettings& settings)
{
    modbus::LineAddress address;
    std::string error;
    if (!modbus::parse_line_address(settings.port, address, error))
        throw std::invalid_argument(error);
    switch (address.kind) {
    case modbus::LineKind::ModbusTcp:
        return std::make_unique<ModbusTcpLine>(settings, address);
    case modbus::LineKind::RtuOverTcp:
        return std::make_unique<RtuOverTcpLine>(settings, address);
    case modbus::LineKind::Serial:
        break;
    }
    return std::make_unique<SerialLine>(settings);
}

}  // namespace devhost
