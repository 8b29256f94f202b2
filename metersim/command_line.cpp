#include "metersim/command_line.h"

#include <algorithm>

#include "cli/option_table.h"
#include "cli/values.h"
#include "metersim/faults.h"
#include "metersim/register_bank.h"
#include "modbus/address_list.h"

namespace metersim {

namespace {

using Options = SimCommandLine;

constexpr const char kProse[] = R"(Usage: metersim [OPTIONS]

Simulates three-phase power meters on one line, each answering Modbus RTU at
its own slave address on registers 10 to 69 (function 3 reads, functions 6
and 16 writes). Requests for other addresses get no answer, as on a real bus.
Without --device it serves on a new pseudo-terminal and prints that
terminal's path as its first line; point a Modbus master (meterhost --port
PATH) at it. With --listen it serves over TCP instead and prints the address
to give a master (meterhost --port ADDRESS). Ctrl-C stops it.

)";

std::string listen_on(Options& o, const std::string& option, const std::string& value)
{
    modbus::LineAddress address;
    std::string error;
    if (!modbus::parse_line_address(value, address, error, modbus::PortZero::Allowed))
        return option + ": " + error;
    if (address.kind == modbus::LineKind::Serial)
        return option + " takes tcp://HOST:PORT or rtu+tcp://HOST:PORT, not '" + value + "'";
    o.listen = address;
    return "";
}

cli::Apply<Options> slave_list(std::vector<int> SimulatorOptions::*field)
{
    return [=](Options& o, const std::string& option, const std::string& value) {
        const auto slaves = modbus::parse_slave_list(value);
        if (!slaves)
            return option + " takes N, A-B or a comma-separated list of these, with addresses 1 "
                            "to 247, not '" + value + "'";
        o.options.*field = *slaves;
        return std::string();
    };
}

std::string set_parity(Options& o, const std::string& option, const std::string& value)
{
    if (value != "N" && value != "E" && value != "O")
        return option + " takes N, E or O, not '" + value + "'";
    o.options.parity = value[0];
    return "";
}

std::string load_table(Options& o, const std::string&, const std::string& value)
{
    std::string error;
    o.options.table = load_register_table(value, error);
    return o.options.table ? "" : error;
}

std::string add_fault(Options& o, const std::string& option, const std::string& value)
{
    const auto plan = parse_fault(value);
    if (!plan)
        return option + " takes KIND or KIND:N, not '" + value + "'";
    o.options.faults.push_back(*plan);
    return "";
}

// A path that must not be empty, into one of the simulator's options.
cli::Apply<Options> path(std::string SimulatorOptions::*field)
{
    return [=](Options& o, const std::string& option, const std::string& value) {
        if (value.empty())
            return option + " needs a path";
        o.options.*field = value;
        return std::string();
    };
}

const cli::Command<Options> kCommand{
    {
        {"--device", "PATH", cli::kEveryMode, path(&SimulatorOptions::device),
         "serve on this serial device instead of a pseudo-terminal"},
        {"--listen", "ADDRESS", cli::kEveryMode, listen_on,
         "serve over TCP, to one connection at a time (others\n"
         "wait until it closes):\n"
         "  tcp://HOST:PORT      as a Modbus TCP gateway: the\n"
         "                       unit identifier is the meter's\n"
         "                       address\n"
         "  rtu+tcp://HOST:PORT  as a serial server: RTU frames,\n"
         "                       CRC included, over the connection\n"
         "e.g. tcp://127.0.0.1:1502; port 0 takes a free one.\n"
         "Over Modbus TCP, which has no CRC, the bad-crc fault\n"
         "sends the reply under another transaction number"},
        {"--link", "PATH", cli::kEveryMode, path(&SimulatorOptions::link),
         "also make PATH a symbolic link to the pseudo-terminal"},
        {"--slave", "LIST", cli::kEveryMode, slave_list(&SimulatorOptions::slaves),
         "slave addresses served (default 1); LIST is N, A-B, or\n"
         "several of these separated by commas (1-8 or 1,2,5),\n"
         "addresses 1 to 247. With live values each meter reads\n"
         "differently."},
        {"--dead", "LIST", cli::kEveryMode, slave_list(&SimulatorOptions::dead),
         "addresses among --slave that are on the line but never\n"
         "answer"},
        {"--baud", "N", cli::kEveryMode,
         cli::whole_number<Options>(
             50, 4000000, [](Options& o, long n) { o.options.baud = static_cast<int>(n); }),
         "line speed (default 9600)"},
        {"--parity", "N|E|O", cli::kEveryMode, set_parity, "parity (default N)"},
        {"--table", "FILE", cli::kEveryMode, load_table,
         "serve fixed registers from FILE (\"REGISTER VALUE\" a line,\n"
         "'#' comments, unlisted registers 0) instead of live\n"
         "values, the same for every slave"},
        {"--line-time", "", cli::kEveryMode,
         cli::flag<Options>([](Options& o) { o.options.line_time = true; }),
         "on a serial line, behave like a real line at --baud:\n"
         "answer with its timing (10 bits a byte without parity,\n"
         "11 with), and drop a request that begins less than 3.5\n"
         "character times (1.75 ms above 19200 baud) after the\n"
         "previous frame ended, as a slave could not tell the\n"
         "two apart. On the pseudo-terminal, which starts at\n"
         "--baud, a request sent while a master has set the\n"
         "terminal to another speed is garbage to the meters and\n"
         "gets no answer. A pseudo-terminal keeps no parity\n"
         "setting, so parity is not checked"},
        {"--fault", "KIND[:N]", cli::kEveryMode, add_fault,
         "misbehave on every Nth request taken, counted over all\n"
         "slaves (default every one); may be repeated. KIND:\n"
         "no-reply, wrong-echo (writes only), exception, delay,\n"
         "bad-crc"},
        {"--fault-delay-ms", "MS", cli::kEveryMode,
         cli::whole_number<Options>(
             1, 600000,
             [](Options& o, long n) { o.options.fault_delay = std::chrono::milliseconds(n); }),
         "how late a delayed reply comes (default 700)"},
        {"--verbose", "", cli::kEveryMode, cli::flag<Options>([](Options& o) { o.verbose = true; }),
         "log each request, naming its slave, and each time a\n"
         "master sets the pseudo-terminal up (opening or closing\n"
         "the port) with the speed it set, on standard error"},
        cli::help_request<Options>("--help", "show this text"),
    },
    {kProse},
    23,
};

// What no single option can tell: how the options go together.
std::string check_combination(const Options& o)
{
    const SimulatorOptions& options = o.options;
    for (int slave : options.dead)
        if (std::find(options.slaves.begin(), options.slaves.end(), slave) == options.slaves.end())
            return "--dead " + std::to_string(slave) + " is not among the --slave addresses";
    if (!options.device.empty() && !options.link.empty())
        return "--link applies to the pseudo-terminal only, not to --device";
    if (o.listen && (!options.device.empty() || !options.link.empty() || options.line_time))
        return "--listen serves over TCP: --device, --link and --line-time are for a serial line";
    return "";
}

}  // namespace

ParsedSimCommandLine parse_command_line(const std::vector<std::string>& args)
{
    ParsedSimCommandLine parsed;
    const cli::Parsed words = cli::parse(kCommand, args, parsed.command);
    parsed.error = words.ok ? "" : words.error;
    parsed.help = words.help;
    if (words.ok && !words.help)
        parsed.error = check_combination(parsed.command);
    parsed.ok = parsed.error.empty();
    return parsed;
}

std::string help_text() { return cli::help_text(kCommand); }

}  // namespace metersim
