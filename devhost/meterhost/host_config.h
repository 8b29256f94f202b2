// What meterhost drives, as the command line and the --config file give it:
// the lines, and on each the meters with the JSON configuration each
// meter's device is given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <json/value.h>

#include "devhost/meterhost/command_line.h"

namespace meterhost {

struct MeterConfig {
    int slave = 1;
    std::uint32_t data_id = 0;
    Json::Value json;  // the device's configuration: its line, its address, its own keys
};

struct LineConfig {
    std::string port;  // as given; for a simulated line, filled in once it runs
    bool simulated = false;
    int baud = 9600;   // also where the configuration leaves it to the device
    char parity = 'N';
    std::vector<MeterConfig> meters;
};

struct HostConfig {
    bool ok = false;
    std::vector<LineConfig> lines;
    std::string error;  // names the file, the line or the key

    bool simulated() const { return lines.size() == 1 && lines[0].simulated; }
    std::size_t meter_count() const;
};

// Lines come from --port when given, else from the file's "lines", else
// from its "port"; with none of these, one simulated line. Options override
// the file: a line's own options, then those before the first --port, then
// the file's line entry, then its top-level keys.
HostConfig build_host_config(const HostOptions& options);

}  // namespace meterhost
