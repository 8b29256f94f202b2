// What meterhost drives, as the command line and the --config file give it:
// the lines, and on each the meters with the JSON configuration each
// meter's device is given, as a bench session takes them (session_options.h).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "devhost/meterhost/command_line.h"
#include "devhost/meterhost/session_options.h"

namespace meterhost {

struct HostConfig {
    bool ok = false;
    std::vector<LineSetup> lines;
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
