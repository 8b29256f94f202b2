// The meterhost command line: polling (the default) or the write subcommand.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace meterhost {

enum class Mode { Poll, Write, Help };

struct HostOptions {
    Mode mode = Mode::Poll;
    std::string module;  // empty: kalvorpowermeter.so beside the executable
    std::optional<std::string> port;
    std::optional<int> baud;
    std::optional<char> parity;
    std::optional<int> slave;
    std::optional<int> timeout_ms;
    std::string config_file;
    std::string history_file;
    std::uint32_t data_id = 1;
    double interval_s = 1.0;
    std::optional<unsigned long> rounds;
    bool json = false;
    // write: the register address and the values, one or more.
    std::uint16_t address = 0;
    std::vector<std::uint16_t> values;
};

struct ParsedCommandLine {
    bool ok = false;
    HostOptions options;
    std::string error;  // one line, for "meterhost: <error>"
};

// args: the arguments after the program name.
ParsedCommandLine parse_command_line(const std::vector<std::string>& args);

extern const char kHelpText[];

}  // namespace meterhost
