// The meterhost command line: polling (the default), or the write or scan
// subcommand. Its options are one table (cli/option_table.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace meterhost {

enum class Mode { Poll, Write, Scan, Help };

// One line as the command line gives it: --port and the --baud,
// --parity, --slave and --timeout-ms that follow it.
struct LineOptions {
    std::string port;
    std::optional<int> baud;
    std::optional<char> parity;
    std::vector<int> slaves;  // ascending, each once; empty: not given
    std::optional<int> timeout_ms;
};

// scan: the line settings to try, each speed with each parity in the order
// given; empty: the usual ones.
struct ScanOptions {
    std::vector<int> bauds;
    std::vector<char> parities;
    bool all_settings = false;  // go on once a setting has found meters
};

struct HostOptions {
    Mode mode = Mode::Poll;
    std::string module;  // empty: kalvorpowermeter.so beside the executable
    // The line options given before the first --port: defaults for every line.
    LineOptions defaults;
    std::vector<LineOptions> lines;  // one per --port, in order
    std::string config_file;
    std::string history_file;
    std::string trace_file;  // every frame on every line; empty: none
    std::uint32_t data_id = 1;
    double interval_s = 1.0;
    std::optional<unsigned long> rounds;
    bool json = false;
    // An offline meter is tried again after retry_min_s, the wait doubling
    // up to retry_max_s.
    double retry_min_s = 2.0;
    double retry_max_s = 60.0;
    // write: the register address and the values, one or more.
    std::uint16_t address = 0;
    std::vector<std::uint16_t> values;
    ScanOptions scan;
};

struct ParsedCommandLine {
    bool ok = false;
    HostOptions options;
    std::string error;  // one line, for "meterhost: <error>"
};

// args: the arguments after the program name.
ParsedCommandLine parse_command_line(const std::vector<std::string>& args);

// The text of --help, its option lists made from the same table as the parser.
std::string help_text();

}  // namespace meterhost
