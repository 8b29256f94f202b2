#include "devhost/meterhost/command_line.h"

#include <algorithm>

#include "cli/option_table.h"
#include "cli/values.h"
#include "devhost/lines/line_settings.h"
#include "devhost/meterhost/command_line_help.h"
#include "modbus/address_list.h"

namespace meterhost {

namespace {

using Options = HostOptions;
using Option = cli::Option<Options>;

// The modes, in the order of kModes; polling is the one without a word.
constexpr cli::Modes kPoll = cli::mode_bit(0);
constexpr cli::Modes kWrite = cli::mode_bit(1);
constexpr cli::Modes kScan = cli::mode_bit(2);
const Mode kModeOf[] = {Mode::Poll, Mode::Write, Mode::Scan};

// Where each option is listed in the help text, after that part of its prose.
enum HelpGroup : std::size_t { kScanOptions, kLineOptions, kGeneralOptions };

// The line the line options apply to: the last --port's, or the defaults
// before the first one.
LineOptions& current_line(Options& options)
{
    return options.lines.empty() ? options.defaults : options.lines.back();
}

std::string add_line(Options& o, const std::string& option, const std::string& value)
{
    if (value.empty())
        return option + " needs a serial device or a network address";
    for (const LineOptions& line : o.lines)
        if (line.port == value)
            return option + " " + value + " is given twice; list all its meters in one --slave";
    o.lines.push_back(LineOptions{value, {}, {}, {}, {}});
    return "";
}

// The speeds of --baud, each once; scan takes a list of them, the others one.
std::string read_bauds(const std::string& option, const std::string& value, bool list,
                       std::vector<int>& bauds)
{
    const bool parsed = cli::each_item(value, [&](const std::string& item) {
        long number = 0;
        if (!cli::read_whole(item, 1, 4000000, number) ||
            !devhost::is_standard_baud(static_cast<int>(number)) ||
            std::find(bauds.begin(), bauds.end(), number) != bauds.end())
            return false;
        bauds.push_back(static_cast<int>(number));
        return true;
    });
    if (!parsed)
        return option + " needs a serial line speed (300 to 921600, e.g. 9600)" +
               (list ? " or a list of them, each once (9600,19200)" : "") + ", not '" + value +
               "'";
    if (!list && bauds.size() > 1)
        return option + " takes one speed; lists of them are for scan";
    return "";
}

std::string read_parities(const std::string& option, const std::string& value, bool list,
                          std::vector<char>& parities)
{
    const bool parsed = cli::each_item(value, [&](const std::string& item) {
        if ((item != "N" && item != "E" && item != "O") ||
            std::find(parities.begin(), parities.end(), item[0]) != parities.end())
            return false;
        parities.push_back(item[0]);
        return true;
    });
    if (!parsed)
        return option + " takes N, E or O" + (list ? " or a list of them, each once (N,E)" : "") +
               ", not '" + value + "'";
    if (!list && parities.size() > 1)
        return option + " takes one parity; lists of them are for scan";
    return "";
}

// --baud or --parity read by `read`: one for a line, a list of them for scan.
template <class T>
using ReadSettings = std::string (*)(const std::string& option, const std::string& value,
                                     bool list, std::vector<T>& settings);

template <class T>
cli::Apply<Options> line_setting(ReadSettings<T> read, std::optional<T> LineOptions::*field)
{
    return [=](Options& o, const std::string& option, const std::string& value) {
        std::vector<T> settings;
        std::string error = read(option, value, false, settings);
        if (error.empty())
            current_line(o).*field = settings[0];
        return error;
    };
}

template <class T>
cli::Apply<Options> scan_settings(ReadSettings<T> read, std::vector<T> ScanOptions::*field)
{
    return [=](Options& o, const std::string& option, const std::string& value) {
        std::vector<T> settings;
        std::string error = read(option, value, true, settings);
        if (error.empty())
            o.scan.*field = settings;
        return error;
    };
}

std::string line_slaves(Options& o, const std::string& option, const std::string& value)
{
    // Numbers as elsewhere (0x10 too), or a list of decimal ones.
    long number = 0;
    std::optional<std::vector<int>> slaves;
    if (cli::read_whole(value, 1, 247, number))
        slaves = std::vector<int>{static_cast<int>(number)};
    else
        slaves = modbus::parse_slave_list(value);
    if (!slaves)
        return option + " needs Modbus addresses from 1 to 247 (e.g. 1, 1,2,5 or 1-8), not '" +
               value + "'";
    current_line(o).slaves = *slaves;
    return "";
}

const cli::Apply<Options> kLineTimeout = cli::whole_number<Options>(
    1, 60000, [](Options& o, long n) { current_line(o).timeout_ms = static_cast<int>(n); });

const cli::Command<Options> kCommand{
    {
        {"--baud", "LIST", kScan, scan_settings(read_bauds, &ScanOptions::bauds),
         "speeds to try, in this order (default\n9600,19200,38400,115200,57600,4800,2400,1200)",
         kScanOptions},
        {"--parity", "LIST", kScan, scan_settings(read_parities, &ScanOptions::parities),
         "parities to try at each speed (default N,E,O)", kScanOptions},
        {"--slave", "LIST", kScan, line_slaves, "addresses to ask (default 1-247)", kScanOptions},
        {"--timeout-ms", "N", kScan, kLineTimeout,
         "how long to wait for each reply (default 500)", kScanOptions},
        {"--all-settings", "", kScan,
         cli::flag<Options>([](Options& o) { o.scan.all_settings = true; }),
         "try every setting, also after one has found meters", kScanOptions},

        {"--port", "PORT", cli::kEveryMode, add_line,
         "a line, one of:\n"
         "  a serial device, e.g. /dev/ttyUSB0: Modbus RTU on a\n"
         "  serial line (an RS-485 adapter)\n"
         "  tcp://HOST:PORT: Modbus TCP, to a gateway that\n"
         "  passes requests on to its serial meters, or to a\n"
         "  meter on the network; --slave gives the unit\n"
         "  identifiers\n"
         "  rtu+tcp://HOST:PORT: Modbus RTU frames over TCP, to a\n"
         "  serial server that puts them on its serial line\n"
         "  unchanged; --baud and --parity are that line's, and\n"
         "  keep the silence between frames\n"
         "HOST is a name or an address, an IPv6 one in brackets\n"
         "([::1]:502)",
         kLineOptions},
        {"--baud", "N", kPoll | kWrite, line_setting(read_bauds, &LineOptions::baud),
         "line speed (default: the device's own, 9600)", kLineOptions},
        {"--parity", "N|E|O", kPoll | kWrite, line_setting(read_parities, &LineOptions::parity),
         "parity (default N)", kLineOptions},
        {"--slave", "LIST", kPoll | kWrite, line_slaves,
         "the meters' Modbus addresses, 1 to 247: 1, 1,2,5 or\n1-8 (default 1)", kLineOptions},
        {"--timeout-ms", "N", kPoll | kWrite, kLineTimeout,
         "how long to wait for a reply, and on a network line\nfor the connection (default 500)",
         kLineOptions},

        {"--module", "PATH", cli::kEveryMode, cli::text(&Options::module, "a path"),
         "the module to load (default: kalvorpowermeter.so beside\nmeterhost)", kGeneralOptions},
        {"--config", "FILE", kPoll | kWrite, cli::text(&Options::config_file, "a file"),
         "the devices' JSON configuration: \"port\", \"baud\",\n"
         "\"parity\", \"slave\" (a number or an array of them),\n"
         "\"timeout_ms\", or \"lines\": [{\"port\": ..., \"baud\": ...,\n"
         "\"slave\": [1, 2]}, ...] instead of \"port\", and the\n"
         "device's own keys; the options override the file, and\n"
         "--port replaces its lines",
         kGeneralOptions},
        {"--data-id", "N", kPoll | kWrite,
         cli::whole_number<Options>(
             0, 0xFFFFFFFFL, [](Options& o, long n) { o.data_id = static_cast<std::uint32_t>(n); }),
         "the first meter's data id (default 1); the others are\n"
         "numbered on, line by line in order, each line's meters\n"
         "by ascending address",
         kGeneralOptions},
        {"--interval", "SECONDS", kPoll,
         cli::seconds<Options>(86400, [](Options& o, double s) { o.interval_s = s; }),
         "time between polls, e.g. 0.5; 0 polls back to back\n(default 1)", kGeneralOptions},
        {"--rounds", "N", kPoll,
         cli::whole_number<Options>(
             1, 1000000000L, [](Options& o, long n) { o.rounds = static_cast<unsigned long>(n); }),
         "stop once every meter has completed N polled rounds or\n"
         "is offline (default: run until interrupted)",
         kGeneralOptions},
        {"--retry-min", "SECONDS", kPoll,
         cli::seconds<Options>(3600, [](Options& o, double s) { o.retry_min_s = s; }),
         "first wait before an offline meter is tried again\n(default 2)", kGeneralOptions},
        {"--retry-max", "SECONDS", kPoll,
         cli::seconds<Options>(3600, [](Options& o, double s) { o.retry_max_s = s; }),
         "longest such wait (default 60)", kGeneralOptions},
        {"--json", "", kPoll | kScan, cli::flag<Options>([](Options& o) { o.json = true; }),
         "print each round's snapshot as one JSON line", kGeneralOptions},
        {"--history", "FILE", kPoll, cli::text(&Options::history_file, "a file"),
         "keep every stored record in the SQLite database FILE,\n"
         "and start each meter from the newest one stored for its\n"
         "data id: it is shown first and not counted in --rounds",
         kGeneralOptions},
        {"--trace", "FILE", cli::kEveryMode, cli::text(&Options::trace_file, "a file"),
         "write every frame on every line to FILE as it happens,\n"
         "one JSON line each: {\"t_us\":N,\"port\":\"PORT\",\n"
         "\"dir\":\"sent\",\"hex\":\"0103...\",\"silence_us\":N,\n"
         "\"crc_ok\":true,\"slave\":N}; t_us counts microseconds from\n"
         "the start, silence_us is how long the line was quiet\n"
         "before the frame as meterhost measured it. \"dir\" is\n"
         "\"sent\", \"received\" or \"timeout\" (no bytes); a reply\n"
         "not taken (bad CRC, another slave's) also has\n"
         "\"problem\". Polling, write and scan.",
         kGeneralOptions},
        cli::help_request<Options>("--help", "show this text", kGeneralOptions),
        cli::help_request<Options>("-h", ""),
    },
    help_prose(),
    21,
    {{"", "polling"}, {"write", "write", true}, {"scan", "scan"}},
};

std::string parse_write_operands(const std::vector<std::string>& operands, Options& options)
{
    if (operands.size() < 2)
        return "write needs ADDRESS and at least one VALUE";
    long number = 0;
    if (!cli::read_whole(operands[0], 0, 0xFFFF, number))
        return "write: ADDRESS must be 0 to 65535, not '" + operands[0] + "'";
    options.address = static_cast<std::uint16_t>(number);
    for (std::size_t i = 1; i < operands.size(); ++i) {
        if (!cli::read_whole(operands[i], 0, 0xFFFF, number))
            return "write: VALUE must be 0 to 65535, not '" + operands[i] + "'";
        options.values.push_back(static_cast<std::uint16_t>(number));
    }
    return "";
}

// What no single option can tell: how the options of a mode go together.
std::string check_combination(const Options& options)
{
    if (options.retry_min_s > options.retry_max_s)
        return "--retry-min must not be longer than --retry-max";
    if (options.mode == Mode::Scan)
        return options.lines.size() != 1 ? "scan takes one --port" : "";
    if (options.mode != Mode::Write)
        return "";
    if (options.lines.size() > 1)
        return "write takes one --port";
    const bool several = options.defaults.slaves.size() > 1 ||
                         (!options.lines.empty() && options.lines[0].slaves.size() > 1);
    return several ? "write takes one meter: give one --slave" : "";
}

}  // namespace

ParsedCommandLine parse_command_line(const std::vector<std::string>& args)
{
    ParsedCommandLine parsed;
    HostOptions& options = parsed.options;
    const cli::Parsed words = cli::parse(kCommand, args, options);
    if (!words.ok) {
        parsed.error = words.error;
        return parsed;
    }
    options.mode = words.help ? Mode::Help : kModeOf[words.mode];
    if (options.mode == Mode::Write)
        parsed.error = parse_write_operands(words.operands, options);
    if (parsed.error.empty() && options.mode != Mode::Help)
        parsed.error = check_combination(options);
    parsed.ok = parsed.error.empty();
    return parsed;
}

std::string help_text() { return cli::help_text(kCommand); }

}  // namespace meterhost
