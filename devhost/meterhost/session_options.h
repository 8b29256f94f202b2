// What a bench session (bench_session.h) drives and how it polls: typed,
// whoever fills them in (meterhost's command line and --config file through
// host_config.h and host_session.h, the soak directly).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <json/value.h>

namespace meterhost {

struct MeterSetup {
    int slave = 1;
    std::uint32_t data_id = 0;
    Json::Value json;  // the device's configuration: its line, its address, its own keys
};

struct LineSetup {
    std::string port;  // as given; for a simulated line, filled in once it runs
    bool simulated = false;
    int baud = 9600;   // also where the configuration leaves it to the device
    char parity = 'N';
    std::vector<MeterSetup> meters;  // in the order the session numbers them
};

struct SessionOptions {
    std::string module;        // empty: kalvorpowermeter.so beside the executable
    std::string history_file;  // empty: no history
    std::vector<LineSetup> lines;

    // One line of simulated meters, which the session starts itself.
    bool simulated() const { return lines.size() == 1 && lines[0].simulated; }
};

// How the lines are polled. An offline meter is tried again after
// retry_min_s, the wait doubling up to retry_max_s (meter_health.h).
struct PollPolicy {
    double interval_s = 1.0;  // from the start of one round of a line's meters to the next
    double retry_min_s = 2.0;
    double retry_max_s = 60.0;
    std::optional<unsigned long> rounds;  // per meter; none: until stopped
};

}  // namespace meterhost
