#include "tests/e2e/served_bus.h"

#include <stdexcept>

namespace e2e {

namespace {

std::unique_ptr<metersim::NetworkServer> listen(metersim::Meters& meters,
                                                const std::string& address_text)
{
    modbus::LineAddress address;
    std::string error;
    if (!modbus::parse_line_address(address_text, address, error, modbus::PortZero::Allowed))
        throw std::invalid_argument(error);
    auto server = std::make_unique<metersim::NetworkServer>(meters, address);
    server->open();
    server->start();
    return server;
}

}  // namespace

ServedBus serve_bus(const metersim::SimulatorOptions& options, modbus::LineKind kind)
{
    ServedBus bus;
    bus.meters = std::make_unique<metersim::Meters>(options);
    if (kind == modbus::LineKind::Serial) {
        bus.line = std::make_unique<metersim::SerialServer>(*bus.meters, options);
        bus.line->open();
        bus.line->start();
        bus.port = bus.line->port_path();
        return bus;
    }
    const char* scheme = kind == modbus::LineKind::ModbusTcp ? "tcp://" : "rtu+tcp://";
    bus.server = listen(*bus.meters, std::string(scheme) + "127.0.0.1:0");
    bus.port = bus.server->address();
    return bus;
}

void ServedBus::serve_again()
{
    server.reset();  // its port is free only once it has gone
    server = listen(*meters, port);
}

std::string kind_name(modbus::LineKind kind)
{
    switch (kind) {
    case modbus::LineKind::Serial: return "serial";
    case modbus::LineKind::ModbusTcp: return "tcp";
    case modbus::LineKind::RtuOverTcp: return "rtu_tcp";
    }
    return "?";
}

}  // namespace e2e
