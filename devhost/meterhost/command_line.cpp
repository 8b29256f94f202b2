#include "devhost/meterhost/command_line.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <map>

#include "devhost/lines/line_settings.h"
#include "modbus/address_list.h"

namespace meterhost {

const char kHelpText[] = R"(Usage: meterhost [OPTIONS] [--port PORT [LINE OPTIONS]]...
       meterhost write [OPTIONS] ADDRESS VALUE [VALUE...]
       meterhost scan --port PORT [SCAN OPTIONS] [--json] [--trace FILE]

Loads the power-meter module as the gateway does and drives meters over
Modbus: real meters on one or more lines (--port), serial lines or lines
over the network, or, without --port, simulated meters that meterhost starts
on a pseudo-terminal of its own. Each meter is a device of its own, made by
the module's provider; the module is driven the same way on every kind of
line.

Polling (the default) reads every meter of a line in turn, every --interval
seconds, one transaction on the line at a time; each line runs on a thread
of its own. With --json each completed round prints one line: with one
meter, the module's snapshot text (request 801) exactly; with several on
one line {"slave":N,"snapshot":TEXT}; with several lines
{"port":"PORT","slave":N,"snapshot":TEXT}, TEXT being the module's text
without its line feed. Otherwise, on a terminal, the live view below
fills the screen; off a terminal each completed round prints that meter's
table (address, state, rounds, errors, last update and its quantities).
Ctrl-C ends the run cleanly.

The live view: a title line with the time and the count of the module's
diagnostic lines ("rvSize is N" per round, "SPModbus get error" per failed
exchange); a status line per line (its number and port, its state, its
meters and how many are online, their rounds and errors); the newest
meterhost message; the page shown. Then the quantities as rows and the
meters as columns, each column headed by the meter's address, its line
(with several lines), its state (waiting until its first round, online or
offline), its rounds, its errors and the age of its data. Meters that do
not fit the width, and quantities that do not fit the height, go on further
pages, shown in turn every 5 seconds. The view follows the terminal's size,
redraws at most 4 times a second, and leaves its last frame on the terminal
when the run ends.

A meter that fails 3 polls in a row is reported offline and then tried only
now and then: after --retry-min seconds, the wait doubling up to
--retry-max; the first answer brings it back online. Each change is one
message. Before every request on a serial line, also the one behind an
rtu+tcp:// server, the line is left silent for 3.5 characters (1.75 ms above
19200 baud) after the last frame on it. On a line over the network a
connection refused, reset or silent fails the poll the same way; the
connection is made again at the next poll, never waiting longer than
--timeout-ms, and a reply to another request or from another unit is
discarded.

'write' sets one register (request 206) or several consecutive ones (request
210, at most 123) of one meter, waits for its reply and prints whether the
meter confirmed the write. ADDRESS and VALUE are 0 to 65535, decimal or 0x
hex. It takes at most one --port and one --slave.

'scan' finds the meters on one line. At each line setting (speed and
parity) it asks every address in turn for the module's block read, through
a device the module makes for that address and setting, one transaction at
a time with the silence kept, and prints each meter that answers: its
address, speed and parity and a line voltage, a current and the frequency
from its snapshot. With --json it prints one line per meter instead,
{"port":"PORT","baud":N,"parity":"N","slave":N,"snapshot":TEXT}. Once a
setting has found meters the others are not tried (the meters of a line
share its setting), and an address found is not asked again. Each silent
address costs one timeout, and nothing more. On a terminal a progress line
shows the setting, the address, the meters found and the time left at
most; Ctrl-C ends the scan with what it has found.
  --baud LIST        speeds to try, in this order (default
                     9600,19200,38400,115200,57600,4800,2400,1200)
  --parity LIST      parities to try at each speed (default N,E,O)
  --slave LIST       addresses to ask (default 1-247)
  --timeout-ms N     how long to wait for each reply (default 500)
  --all-settings     try every setting, also after one has found meters
On a line over the network only the addresses are tried, at the first
--baud and --parity given (those of an rtu+tcp:// server's line).

Lines: each --port starts a line; the --baud, --parity, --slave and
--timeout-ms after it apply to that line. Given before the first --port
they are the defaults of every line.
  --port PORT        a line, one of:
                       a serial device, e.g. /dev/ttyUSB0: Modbus RTU on a
                       serial line (an RS-485 adapter)
                       tcp://HOST:PORT: Modbus TCP, to a gateway that
                       passes requests on to its serial meters, or to a
                       meter on the network; --slave gives the unit
                       identifiers
                       rtu+tcp://HOST:PORT: Modbus RTU frames over TCP, to a
                       serial server that puts them on its serial line
                       unchanged; --baud and --parity are that line's, and
                       keep the silence between frames
                     HOST is a name or an address, an IPv6 one in brackets
                     ([::1]:502)
  --baud N           line speed (default: the device's own, 9600)
  --parity N|E|O     parity (default N)
  --slave LIST       the meters' Modbus addresses, 1 to 247: 1, 1,2,5 or
                     1-8 (default 1)
  --timeout-ms N     how long to wait for a reply, and on a network line
                     for the connection (default 500)

Options:
  --module PATH      the module to load (default: kalvorpowermeter.so beside
                     meterhost)
  --config FILE      the devices' JSON configuration: "port", "baud",
                     "parity", "slave" (a number or an array of them),
                     "timeout_ms", or "lines": [{"port": ..., "baud": ...,
                     "slave": [1, 2]}, ...] instead of "port", and the
                     device's own keys; the options override the file, and
                     --port replaces its lines
  --data-id N        the first meter's data id (default 1); the others are
                     numbered on, line by line in order, each line's meters
                     by ascending address
  --interval SECONDS time between polls, e.g. 0.5; 0 polls back to back
                     (default 1)
  --rounds N         stop once every meter has completed N polled rounds or
                     is offline (default: run until interrupted)
  --retry-min SECONDS  first wait before an offline meter is tried again
                     (default 2)
  --retry-max SECONDS  longest such wait (default 60)
  --json             print each round's snapshot as one JSON line
  --history FILE     keep every stored record in the SQLite database FILE,
                     and start each meter from the newest one stored for its
                     data id: it is shown first and not counted in --rounds
  --trace FILE       write every frame on every line to FILE as it happens,
                     one JSON line each: {"t_us":N,"port":"PORT",
                     "dir":"sent","hex":"0103...","silence_us":N,
                     "crc_ok":true,"slave":N}; t_us counts microseconds from
                     the start, silence_us is how long the line was quiet
                     before the frame as meterhost measured it. "dir" is
                     "sent", "received" or "timeout" (no bytes); a reply
                     not taken (bad CRC, another slave's) also has
                     "problem". Polling, write and scan.
  --help             show this text

Standard output carries only meterhost's own output (snapshots, tables,
the live view, write results); the module's diagnostics ("rvSize is N",
"SPModbus get error") and meterhost's messages go to standard error. While
the live view is on the terminal they are counted and shown in it instead,
and written to standard error only when that is not the same terminal.

Exit status: 0 success (write: confirmed; scan: a meter found); 1 write not
confirmed, or scan found no meter; 2 bad command line or configuration, or
the port or module cannot be used (a serial device that cannot be opened, a
network address that is malformed or whose host does not resolve).
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

// The line the line options apply to: the last --port's, or the defaults
// before the first one.
LineOptions& current_line(HostOptions& options)
{
    return options.lines.empty() ? options.defaults : options.lines.back();
}

bool parse_seconds(const std::string& text, double max, double& seconds)
{
    char* end = nullptr;
    errno = 0;
    seconds = std::strtod(text.c_str(), &end);
    return !text.empty() && errno == 0 && *end == '\0' && std::isfinite(seconds) &&
           seconds >= 0 && seconds <= max;
}

Setter seconds(double max, std::function<void(HostOptions&, double)> store)
{
    return [=](HostOptions& options, const std::string& option, const std::string& value) {
        double number = 0;
        if (!parse_seconds(value, max, number))
            return option + " needs seconds from 0 to " + std::to_string(static_cast<long>(max)) +
                   ", not '" + value + "'";
        store(options, number);
        return std::string();
    };
}

// Each comma-separated item of a list to `take`; false when one is empty or
// refused.
bool each_item(const std::string& list, const std::function<bool(const std::string&)>& take)
{
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = list.find(',', start);
        const std::string item = list.substr(start, comma - start);
        if (item.empty() || !take(item))
            return false;
        if (comma == std::string::npos)
            return true;
        start = comma + 1;
    }
}

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
             if (value.empty())
                 return option + " needs a serial device or a network address";
             for (const LineOptions& line : o.lines)
                 if (line.port == value)
                     return option + " " + value +
                            " is given twice; list all its meters in one --slave";
             o.lines.push_back(LineOptions{value, {}, {}, {}, {}});
             return std::string();
         }},
        {"--baud",
         [](HostOptions& o, const std::string& option, const std::string& value) {
             std::vector<int> bauds;
             const bool parsed = each_item(value, [&](const std::string& item) {
                 long number = 0;
                 if (!parse_long(item, 1, 4000000, number) ||
                     !devhost::is_standard_baud(static_cast<int>(number)) ||
                     std::find(bauds.begin(), bauds.end(), number) != bauds.end())
                     return false;
                 bauds.push_back(static_cast<int>(number));
                 return true;
             });
             const bool scan = o.mode == Mode::Scan;
             if (!parsed)
                 return option + " needs a serial line speed (300 to 921600, e.g. 9600)" +
                        (scan ? " or a list of them, each once (9600,19200)" : "") + ", not '" +
                        value + "'";
             if (scan)
                 o.scan.bauds = bauds;
             else if (bauds.size() > 1)
                 return option + " takes one speed; lists of them are for scan";
             else
                 current_line(o).baud = bauds[0];
             return std::string();
         }},
        {"--parity",
         [](HostOptions& o, const std::string& option, const std::string& value) {
             std::vector<char> parities;
             const bool parsed = each_item(value, [&](const std::string& item) {
                 if ((item != "N" && item != "E" && item != "O") ||
                     std::find(parities.begin(), parities.end(), item[0]) != parities.end())
                     return false;
                 parities.push_back(item[0]);
                 return true;
             });
             const bool scan = o.mode == Mode::Scan;
             if (!parsed)
                 return option + " takes N, E or O" +
                        (scan ? " or a list of them, each once (N,E)" : "") + ", not '" + value +
                        "'";
             if (scan)
                 o.scan.parities = parities;
             else if (parities.size() > 1)
                 return option + " takes one parity; lists of them are for scan";
             else
                 current_line(o).parity = parities[0];
             return std::string();
         }},
        {"--slave",
         [](HostOptions& o, const std::string& option, const std::string& value) {
             // Numbers as elsewhere (0x10 too), or a list of decimal ones.
             long number = 0;
             std::optional<std::vector<int>> slaves;
             if (parse_long(value, 1, 247, number))
                 slaves = std::vector<int>{static_cast<int>(number)};
             else
                 slaves = modbus::parse_slave_list(value);
             if (!slaves)
                 return option + " needs Modbus addresses from 1 to 247 (e.g. 1, 1,2,5 or 1-8), "
                                 "not '" + value + "'";
             current_line(o).slaves = *slaves;
             return std::string();
         }},
        {"--timeout-ms", integer(1, 60000,
                                 [](HostOptions& o, long n) {
                                     current_line(o).timeout_ms = static_cast<int>(n);
                                 })},
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
        {"--trace",
         [](HostOptions& o, const std::string& option, const std::string& value) {
             o.trace_file = value;
             return value.empty() ? option + " needs a file" : std::string();
         }},
        {"--interval", seconds(86400, [](HostOptions& o, double s) { o.interval_s = s; })},
        {"--retry-min", seconds(3600, [](HostOptions& o, double s) { o.retry_min_s = s; })},
        {"--retry-max", seconds(3600, [](HostOptions& o, double s) { o.retry_max_s = s; })},
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

// Options that have no meaning in a mode.
struct ModeOptions {
    Mode mode;
    const char* name;
    std::vector<const char*> not_applying;
};

const ModeOptions kModeOptions[] = {
    {Mode::Poll, "polling", {"--all-settings"}},
    {Mode::Write, "write",
     {"--rounds", "--interval", "--json", "--history", "--retry-min", "--retry-max",
      "--all-settings"}},
    {Mode::Scan, "scan",
     {"--rounds", "--interval", "--history", "--retry-min", "--retry-max", "--config",
      "--data-id"}},
};

std::string check_combination(const HostOptions& options, const std::vector<std::string>& given)
{
    if (options.retry_min_s > options.retry_max_s)
        return "--retry-min must not be longer than --retry-max";
    for (const ModeOptions& mode : kModeOptions) {
        if (mode.mode != options.mode)
            continue;
        for (const char* option : mode.not_applying)
            for (const std::string& name : given)
                if (name == option)
                    return std::string(option) + " does not apply to " + mode.name;
    }
    if (options.mode == Mode::Scan) {
        if (options.lines.size() != 1)
            return "scan takes one --port";
        return "";
    }
    if (options.mode != Mode::Write)
        return "";
    if (options.lines.size() > 1)
        return "write takes one --port";
    const bool several = options.defaults.slaves.size() > 1 ||
                         (!options.lines.empty() && options.lines[0].slaves.size() > 1);
    if (several)
        return "write takes one meter: give one --slave";
    return "";
}

// Where the subcommand stands: the first word that is neither an option nor
// an option's value; args.size() when there is none.
std::size_t subcommand_at(const std::vector<std::string>& args)
{
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i].rfind("--", 0) != 0)
            return i;
        if (args[i].find('=') == std::string::npos && valued_options().count(args[i]) != 0)
            ++i;
    }
    return args.size();
}

const std::map<std::string, Mode> kSubcommands = {{"write", Mode::Write}, {"scan", Mode::Scan}};

}  // namespace

ParsedCommandLine parse_command_line(const std::vector<std::string>& args)
{
    ParsedCommandLine parsed;
    HostOptions& options = parsed.options;
    std::vector<std::string> operands;
    std::vector<std::string> given;
    // Known first: it decides how some options read (--baud takes a list in scan).
    const std::size_t subcommand = subcommand_at(args);
    const auto named = subcommand < args.size() ? kSubcommands.find(args[subcommand])
                                                : kSubcommands.end();
    if (named != kSubcommands.end())
        options.mode = named->second;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string option = args[i];
        if (option == "--help" || option == "-h") {
            options.mode = Mode::Help;
            parsed.ok = true;
            return parsed;
        }
        if (option.rfind("--", 0) != 0) {
            if (i == subcommand && named != kSubcommands.end()) {
                continue;
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
        if (option == "--json" || option == "--all-settings") {
            if (has_value) {
                parsed.error = option + " takes no value";
                return parsed;
            }
            (option == "--json" ? options.json : options.scan.all_settings) = true;
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
