// A simulated bus of meters in the test's own process, served on a
// pseudo-terminal or over TCP on the loopback interface (Modbus TCP, or RTU
// frames over TCP), so that one test runs over every kind of line and reads
// the meters' registers and the line's timing back.
#pragma once

#include <memory>
#include <string>

#include "devhost/lines/line_address.h"
#include "metersim/network_server.h"
#include "metersim/simulator.h"

namespace e2e {

struct ServedBus {
    std::unique_ptr<metersim::Simulator> simulator;
    std::unique_ptr<metersim::NetworkServer> server;  // null on a pseudo-terminal
    std::string port;                                 // what a master gives as --port

    metersim::Simulator* operator->() const { return simulator.get(); }
    // Replies sent and requests received on whichever line serves the bus.
    unsigned long replies_sent() const
    {
        return server ? server->replies_sent() : simulator->replies_sent();
    }
    std::vector<metersim::RequestTiming> timings() const
    {
        return server ? server->timings() : simulator->timings();
    }
    // Serves the same meters again on the same port, with a new server
    // (network kinds only).
    void serve_again();
};

// Starts serving: a pseudo-terminal for LineKind::Serial, else a free port
// on 127.0.0.1.
ServedBus serve_bus(metersim::SimulatorOptions options, devhost::LineKind kind);

// "serial", "tcp" or "rtu_tcp", for test names.
std::string kind_name(devhost::LineKind kind);

}  // namespace e2e
