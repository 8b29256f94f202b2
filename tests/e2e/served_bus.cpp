#include "tests/e2e/served_bus.h"

#include <stdexcept>

namespace e2e {

namespace {

std::unique_ptr<metersim::NetworkServer> listen(metersim::Simulator& simulator,
                                                const std::string& address_text)
{
    devhost::LineAddress address;
    std::string error;
    if (!devhost::parse_line_address(address_text, address, error, devhost::PortZero::Allowed))
        throw std::invalid_argument(error);
    auto server = std::make_unique<metersim::NetworkServer>(simulator, address);
    server->open();
    server->start();
    return server;
}

}  // namespace

ServedBus serve_bus(metersim::SimulatorOptions options, devhost::LineKind kind)
{
    ServedBus bus;
    bus.simulator = std::make_unique<metersim::Simulator>(std::move(options));
    if (kind == devhost::LineKind::Serial) {
        bus.simulator->open();
        bus.simulator->start();
        bus.port = bus.simulator->port_path();
        return bus;
    }
    const char* scheme = kind == devhost::LineKind::ModbusTcp ? "tcp://" : "rtu+tcp://";
    bus.server = listen(*bus.simulator, std::string(scheme) + "127.0.0.1:0");
    bus.port = bus.server->address();
    return bus;
}

void ServedBus::serve_again()
{
    server.reset();  // its port is free only once it has gone
    server = listen(*simulator, port);
}

std::string kind_name(devhost::LineKind kind)
{
    switch (kind) {
    case devhost::LineKind::Serial: return "serial";
    case devhost::LineKind::ModbusTcp: return "tcp";
    case devhost::LineKind::RtuOverTcp: return "rtu_tcp";
    }
    return "?";
}

}  // namespace e2e
