// The metersim command line: where the meters are served (a new
// pseudo-terminal, a serial device or a TCP address) and how they behave.
// Its options are one table (cli/option_table.h).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "metersim/simulator.h"
#include "modbus/line_address.h"

namespace metersim {

struct SimCommandLine {
    SimulatorOptions options;  // without `log`: --verbose says whether main sets one
    std::optional<modbus::LineAddress> listen;  // serve over TCP; none: on a serial line
    bool verbose = false;
};

struct ParsedSimCommandLine {
    bool ok = false;
    bool help = false;  // --help: print help_text() and nothing else
    SimCommandLine command;
    std::string error;  // one line, for "metersim: <error>"
};

// args: the arguments after the program name. Reads the --table file.
ParsedSimCommandLine parse_command_line(const std::vector<std::string>& args);

// The text of --help, its option list made from the same table as the parser.
std::string help_text();

}  // namespace metersim
