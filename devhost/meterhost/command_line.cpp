#include "command_line.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <map>

#include "line_settings.h"

namespace meterhost {

const char kHelpText[] = R"(Usage: meterhost [OPTIONS]
       meterhost write [OPTIONS] ADDRESS VALUE [VALUE...]

Loads the power-meter module as the gateway does and drives a meter over
Modbus RTU: a real meter on --port, or, without --port, a simulated meter
that meterhost starts on a pseudo-terminal of its own.

Polling (the default) reads the meter every --interval seconds. With --json
each completed round prints one line: the module's snapshot text (request
801) exactly. Otherwise, on a terminal, a live table of the snapshot's 31
members with the round count, error count and last update; off a terminal
one such table per round. Ctrl-C ends the run cleanly.

'write' sets one register (request 206) or several consecutive ones (request
210, at most 123), waits for the meter's reply and prints whether the meter
confirmed the write. ADDRESS and VALUE are 0 to 65535, decimal or 0x hex.

Options:
  --module PATH      the module to load (default: kalvorpowermeter.so beside
                     meterhost)
  --port DEVICE      the meter's serial device, e.g. /dev/ttyUSB0
  --baud N           line speed (default: the device's own, 9600)
  --parity N|E|O     parity (default N)
  --slave N          the meter's Modbus address, 1 to 247 (default 1)
  --timeout-ms N     how long to wait for a reply (default 500)
  --config FILE      the device's JSON configuration; the options above
                     override its "port", "baud", "parity", "slave" and
                     "timeout_ms"
  --data-id N        the device's data id (default 1)
  --interval SECONDS time between polls, e.g. 0.5; 0 polls back to back
                     (default 1)
  --rounds N         stop after N completed polled rounds (default: run until
                     interrupted)
  --json             print each round's snapshot as one JSON line
  --history FILE     keep every stored record in the SQLite database FILE, and
                     start from the newest one stored for the data id: it is
                     shown first and not counted in --rounds
  --help             show this text

Standard output carries only meterhost's own output (snapshots, tables,
write results); the module's diagnostics ("rvSize is N", "SPModbus get
error") and meterhost's messages go to standard error.

Exit status: 0 success (write: confirmed); 1 write not confirmed; 2 bad
command line or configuration, or the port or module cannot be used.
)";

namespace {

bool parse_long(const std::string& text, long min, long max, long& value)
{
    if (text.empty() || text[0] == '-' || text[0] == '+')
        return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtol(text.c_str(), &end, 0);
    return errno == 0 && *end == '\0' && value >= min && value <= max;
}

std::string range_error(const std::string& option, long min, long max, const std::string& text)
{
    return option + " needs a whole number from " + std::to_string(min) + " to " +
           std::to_string(max) + ", not '" + text + "'";
}

// Each option with a value, and how it is stored; an error text, or empty.
using Setter = std::function<std::string(HostOptions&, const std::string& option,
                                         const std::string& value)>;

Setter integer(long min, long max, std::function<void(HostOptions&, long)> store)
{
    return [=](HostOptions& options, const std::string& option, const std::string& value) {
        long number = 0;
        if (!parse_long(value, min, max, number))
            return range_error(option, min, max, value);
        store(options, number);
        return std::string();
    };
}

const std::map<std::string, Setter>& valued_options()
{
    static const std::map<std::string, Setter> options = {
        {"--module",
         [](HostOptions& o, const std::string& option, const std::string& value) {
             o.module = value;
             return value.empty() ? option + " needs a path" : std::string();
         }},
        {"--port",
         [](HostOptions& o, const std::string& option, const std::string& value) {
             o.port = value;
             return value.empty() ? option + " needs a device path" : std::string();
         }},
        {"--baud",
         [](HostOptions& o, const std::string& option, const std::string& value) {
             long number = 0;
             if (!parse_long(value, 1, 4000000, number) ||
                 !devhost::is_standard_baud(static_cast<int>(number)))
                 return option + " needs a serial line speed (300 to 921600, e.g. 9600), not '" +
                        value + "'";
             o.baud = static_cast<int>(number);
             return std::string();
         }},
        {"--parity",
         [](HostOptions& o, const std::string& option, const std::string& value) {
             if (value != "N" && value != "E" && value != "O")
                 return option + " takes N, E or O, not '" + value + "'";
             o.parity = value[0];
             return std::string();
         }},
        {"--slave", integer(1, 247, [](HostOptions& o, long n) { o.slave = static_cast<int>(n); })},
        {"--timeout-ms",
         integer(1, 60000, [](HostOptions& o, long n) { o.timeout_ms = static_cast<int>(n); })},
        {"--data-id", integer(0, 0xFFFFFFFFL,
                              [](HostOptions& o, long n) { o.data_id = static_cast<std::uint32_t>(n); })},
        {"--rounds", integer(1, 1000000000L,
                             [](HostOptions& o, long n) { o.rounds = static_cast<unsigned long>(n); })},
        {"--config",
         [](HostOptions& o, const std::string& option, const std::string& value) {
             o.config_file = value;
             return value.empty() ? option + " needs a file" : std::string();
         }},
        {"--history",
         [](HostOptions& o, const std::string& option, const std::string& value) {
             o.history_file = value;
             return value.empty() ? option + " needs a file" : std::string();
         }},
        {"--interval",
         [](HostOptions& o, const std::string& option, const std::string& value) {
             char* end = nullptr;
             errno = 0;
             const double seconds = std::strtod(value.c_str(), &end);
             if (value.empty() || errno != 0 || *end != '\0' || !std::isfinite(seconds) ||
                 seconds < 0 || seconds > 86400)
                 return option + " needs seconds from 0 to 86400, not '" + value + "'";
             o.interval_s = seconds;
             return std::string();
         }},
    };
    return options;
}

std::string parse_write_operands(const std::vector<std::string>& operands, HostOptions& options)
{
    if (operands.size() < 2)
        return "write needs ADDRESS and at least one VALUE";
    long number = 0;
    if (!parse_long(operands[0], 0, 0xFFFF, number))
        return "write: ADDRESS must be 0 to 65535, not '" + operands[0] + "'";
    options.address = static_cast<std::uint16_t>(number);
    for (std::size_t i = 1; i < operands.size(); ++i) {
        if (!parse_long(operands[i], 0, 0xFFFF, number))
            return "write: VALUE must be 0 to 65535, not '" + operands[i] + "'";
        options.values.push_back(static_cast<std::uint16_t>(number));
    }
    return "";
}

std::string check_combination(const HostOptions& options, const std::vector<std::string>& given)
{
    if (options.mode != Mode::Write)
        return "";
    for (const char* option : {"--rounds", "--interval", "--json", "--history"})
        for (const std::string& name : given)
            if (name == option)
                return std::string(option) + " does not apply to write";
    return "";
}

}  // namespace

ParsedCommandLine parse_command_line(const std::vector<std::string>& args)
{
    ParsedCommandLine parsed;
    HostOptions& options = parsed.options;
    std::vector<std::string> operands;
    std::vector<std::string> given;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string option = args[i];
        if (option == "--help" || option == "-h") {
            options.mode = Mode::Help;
            parsed.ok = true;
            return parsed;
        }
        if (option.rfind("--", 0) != 0) {
            if (options.mode == Mode::Poll && option == "write") {
                options.mode = Mode::Write;
            } else if (options.mode == Mode::Write) {
                operands.push_back(option);
            } else {
                parsed.error = "unexpected argument '" + option + "'";
                return parsed;
            }
            continue;
        }
        std::string value;
        bool has_value = false;
        const auto equals = option.find('=');
        if (equals != std::string::npos) {
            value = option.substr(equals + 1);
            option = option.substr(0, equals);
            has_value = true;
        }
        given.push_back(option);
        if (option == "--json") {
            if (has_value) {
                parsed.error = "--json takes no value";
                return parsed;
            }
            options.json = true;
            continue;
        }
        const auto setter = valued_options().find(option);
        if (setter == valued_options().end()) {
            parsed.error = "unknown option '" + option + "'";
            return parsed;
        }
        if (!has_value) {
            if (i + 1 >= args.size()) {
                parsed.error = option + " needs a value";
                return parsed;
            }
            value = args[++i];
        }
        parsed.error = setter->second(options, option, value);
        if (!parsed.error.empty())
            return parsed;
    }
    if (options.mode == Mode::Write)
        parsed.error = parse_write_operands(operands, options);
    if (parsed.error.empty())
        parsed.error = check_combination(options, given);
    parsed.ok = parsed.error.empty();
    return parsed;
}

}  // namespace meterhost
