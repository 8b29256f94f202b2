// A simulated serial line: the meters (meters.h) served on a pseudo-terminal
// or a serial device (serial_server.h), as the metersim command, meterhost's
// simulated line, the soak and the tests start it. To serve the meters over
// TCP instead, give them to a NetworkServer (network_server.h).
#pragma once

#include <string>
#include <vector>

#include "metersim/meters.h"
#include "metersim/serial_server.h"

namespace metersim {

// The meters' options and the line's, in one.
struct SimulatorOptions : MeterOptions, SerialOptions {};

class Simulator {
public:
    // Throws std::invalid_argument as Meters does.
    explicit Simulator(const SimulatorOptions& options) : meters_(options), line_(meters_, options)
    {
    }

    Meters& meters() { return meters_; }
    SerialServer& line() { return line_; }

    // The line's operations (serial_server.h).
    void open() { line_.open(); }
    const std::string& port_path() const { return line_.port_path(); }
    void serve() { line_.serve(); }
    void start() { line_.start(); }
    void join() { line_.join(); }
    void stop() { line_.stop(); }
    std::vector<RequestTiming> timings() const { return line_.timings(); }
    unsigned long frames_rejected() const { return line_.frames_rejected(); }
    unsigned long replies_sent() const { return line_.replies_sent(); }
    std::vector<TerminalSetUp> terminal_setups() const { return line_.terminal_setups(); }

    // The meters' (meters.h).
    void set_dead(int slave, bool dead) { meters_.set_dead(slave, dead); }
    unsigned long requests_seen() const { return meters_.requests_seen(); }
    unsigned long requests_seen(int slave) const { return meters_.requests_seen(slave); }
    RegisterValues registers() const { return meters_.registers(); }
    RegisterValues registers(int slave) const { return meters_.registers(slave); }

private:
    Meters meters_;
    SerialServer line_;  // after the meters it serves: destroyed first
};

}  // namespace metersim
