// A simulated bus of meters in the test's own process, served on a
// pseudo-terminal or over TCP on the loopback interface (Modbus TCP, or RTU
// frames over TCP), so that one test runs over every kind of line and reads
// the meters' registers and the line's timing back.
#pragma once

#include <memory>
#include <string>

#include "metersim/meters.h"
#include "metersim/network_server.h"
#include "metersim/serial_server.h"
#include "metersim/simulator.h"
#include "modbus/line_address.h"

namespace e2e {

struct ServedBus {
    std::unique_ptr<metersim::Meters> meters;
    std::unique_ptr<metersim::SerialServer> line;     // null over TCP
    std::unique_ptr<metersim::NetworkServer> server;  // null on a pseudo-terminal
    std::string port;                                 // what a master gives as --port

    metersim::Meters* operator->() const { return meters.get(); }
    // Replies sent and requests received on whichever line serves the bus.
    unsigned long replies_sent() const
    {
        return server ? server->replies_sent() : line->replies_sent();
    }
    std::vector<metersim::RequestTiming> timings() const
    {
        return server ? server->timings() : line->timings();
    }
    // Requests dropped for too short a silence; only a serial line drops any.
    unsigned long frames_rejected() const { return line ? line->frames_rejected() : 0; }
    // Serves the same meters again on the same port, with a new server
    // (network kinds only).
    void serve_again();
};

// Starts serving: a pseudo-terminal for LineKind::Serial, else a free port
// on 127.0.0.1.
ServedBus serve_bus(const metersim::SimulatorOptions& options, modbus::LineKind kind);

// "serial", "tcp" or "rtu_tcp", for test names.
std::string kind_name(modbus::LineKind kind);

}  // namespace e2e
