// metersim: simulated three-phase power meters speaking Modbus RTU on a new
// pseudo-terminal (whose path it prints first) or on a serial device, or
// served over TCP (Modbus TCP, or RTU frames over TCP).
#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <pthread.h>

#include "metersim/faults.h"
#include "metersim/meters.h"
#include "metersim/network_server.h"
#include "metersim/serial_server.h"
#include "metersim/simulator.h"
#include "modbus/address_list.h"
#include "modbus/line_address.h"

namespace {

constexpr const char kUsage[] = R"(Usage: metersim [OPTIONS]

Simulates three-phase power meters on one line, each answering Modbus RTU at
its own slave address on registers 10 to 69 (function 3 reads, functions 6
and 16 writes). Requests for other addresses get no answer, as on a real bus.
Without --device it serves on a new pseudo-terminal and prints that
terminal's path as its first line; point a Modbus master (meterhost --port
PATH) at it. With --listen it serves over TCP instead and prints the address
to give a master (meterhost --port ADDRESS). Ctrl-C stops it.

  --device PATH        serve on this serial device instead of a pseudo-terminal
  --listen ADDRESS     serve over TCP, to one connection at a time (others
                       wait until it closes):
                         tcp://HOST:PORT      as a Modbus TCP gateway: the
                                              unit identifier is the meter's
                                              address
                         rtu+tcp://HOST:PORT  as a serial server: RTU frames,
                                              CRC included, over the connection
                       e.g. tcp://127.0.0.1:1502; port 0 takes a free one.
                       Over Modbus TCP, which has no CRC, the bad-crc fault
                       sends the reply under another transaction number
  --link PATH          also make PATH a symbolic link to the pseudo-terminal
  --slave LIST         slave addresses served (default 1); LIST is N, A-B, or
                       several of these separated by commas (1-8 or 1,2,5),
                       addresses 1 to 247. With live values each meter reads
                       differently.
  --dead LIST          addresses among --slave that are on the line but never
                       answer
  --baud N             line speed (default 9600)
  --parity N|E|O       parity (default N)
  --table FILE         serve fixed registers from FILE ("REGISTER VALUE" a line,
                       '#' comments, unlisted registers 0) instead of live
                       values, the same for every slave
  --line-time          on a serial line, behave like a real line at --baud:
                       answer with its timing (10 bits a byte without parity,
                       11 with), and drop a request that begins less than 3.5
                       character times (1.75 ms above 19200 baud) after the
                       previous frame ended, as a slave could not tell the
                       two apart. On the pseudo-terminal, which starts at
                       --baud, a request sent while a master has set the
                       terminal to another speed is garbage to the meters and
                       gets no answer. A pseudo-terminal keeps no parity
                       setting, so parity is not checked
  --fault KIND[:N]     misbehave on every Nth request taken, counted over all
                       slaves (default every one); may be repeated. KIND:
                       no-reply, wrong-echo (writes only), exception, delay,
                       bad-crc
  --fault-delay-ms MS  how late a delayed reply comes (default 700)
  --verbose            log each request, naming its slave, and each time a
                       master sets the pseudo-terminal up (opening or closing
                       the port) with the speed it set, on standard error
  --help               show this text
)";

[[noreturn]] void usage_error(const std::string& message)
{
    std::cerr << "metersim: " << message << "\nTry 'metersim --help'.\n";
    std::exit(2);
}

long number(const std::string& option, const std::string& text, long min, long max)
{
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || errno != 0 || *end != '\0' || value < min || value > max)
        usage_error(option + " needs a number from " + std::to_string(min) + " to " +
                    std::to_string(max) + ", not '" + text + "'");
    return value;
}

struct Command {
    metersim::SimulatorOptions options;
    std::optional<modbus::LineAddress> listen;
};

Command parse(int argc, char** argv)
{
    Command command;
    metersim::SimulatorOptions& options = command.options;
    bool verbose = false;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--help") {
            std::cout << kUsage;
            std::exit(0);
        }
        if (option == "--line-time") {
            options.line_time = true;
            continue;
        }
        if (option == "--verbose") {
            verbose = true;
            continue;
        }
        static const std::vector<std::string> kValued = {
            "--device", "--link",  "--listen", "--slave", "--dead", "--baud",
            "--parity", "--table", "--fault",  "--fault-delay-ms"};
        if (std::find(kValued.begin(), kValued.end(), option) == kValued.end())
            usage_error(option.rfind("--", 0) == 0 ? "unknown option '" + option + "'"
                                                   : "unexpected argument '" + option + "'");
        if (i + 1 >= argc)
            usage_error(option + " needs a value");
        const std::string value = argv[++i];
        if (option == "--device") {
            options.device = value;
        } else if (option == "--link") {
            options.link = value;
        } else if (option == "--listen") {
            modbus::LineAddress address;
            std::string error;
            if (!modbus::parse_line_address(value, address, error, modbus::PortZero::Allowed))
                usage_error("--listen: " + error);
            if (address.kind == modbus::LineKind::Serial)
                usage_error("--listen takes tcp://HOST:PORT or rtu+tcp://HOST:PORT, not '" + value +
                            "'");
            command.listen = address;
        } else if (option == "--slave" || option == "--dead") {
            const auto slaves = modbus::parse_slave_list(value);
            if (!slaves)
                usage_error(option + " takes N, A-B or a comma-separated list of these, with "
                            "addresses 1 to 247, not '" + value + "'");
            (option == "--slave" ? options.slaves : options.dead) = *slaves;
        } else if (option == "--baud") {
            options.baud = static_cast<int>(number(option, value, 50, 4000000));
        } else if (option == "--parity") {
            if (value != "N" && value != "E" && value != "O")
                usage_error("--parity takes N, E or O, not '" + value + "'");
            options.parity = value[0];
        } else if (option == "--table") {
            std::string error;
            options.table = metersim::load_register_table(value, error);
            if (!options.table)
                usage_error(error);
        } else if (option == "--fault") {
            const auto plan = metersim::parse_fault(value);
            if (!plan)
                usage_error("--fault takes KIND or KIND:N, not '" + value + "'");
            options.faults.push_back(*plan);
        } else if (option == "--fault-delay-ms") {
            options.fault_delay = std::chrono::milliseconds(number(option, value, 1, 600000));
        }
    }
    for (int slave : options.dead)
        if (std::find(options.slaves.begin(), options.slaves.end(), slave) == options.slaves.end())
            usage_error("--dead " + std::to_string(slave) + " is not among the --slave addresses");
    if (!options.device.empty() && !options.link.empty())
        usage_error("--link applies to the pseudo-terminal only, not to --device");
    if (command.listen && (!options.device.empty() || !options.link.empty() || options.line_time))
        usage_error("--listen serves over TCP: --device, --link and --line-time are for a "
                    "serial line");
    if (verbose)
        options.log = [](const std::string& line) { std::cerr << "metersim: " << line << '\n'; };
    return command;
}

}  // namespace

int main(int argc, char** argv)
{
    Command command = parse(argc, argv);

    // Signals are taken by sigwait below, never by the serving thread.
    sigset_t signals;
    sigemptyset(&signals);
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&signals, signal);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    // The meters, on one line: a network server's or a serial one.
    std::unique_ptr<metersim::Meters> meters;
    std::unique_ptr<metersim::NetworkServer> server;
    std::unique_ptr<metersim::SerialServer> line;
    try {
        meters = std::make_unique<metersim::Meters>(command.options);
        if (command.listen) {
            server = std::make_unique<metersim::NetworkServer>(*meters, *command.listen);
            server->open();
        } else {
            line = std::make_unique<metersim::SerialServer>(*meters, command.options);
            line->open();
        }
    } catch (const std::exception& error) {
        std::cerr << "metersim: " << error.what() << '\n';
        return 1;
    }
    std::cout << (server ? server->address() : line->port_path()) << std::endl;
    if (server)
        server->start();
    else
        line->start();
    int received = 0;
    sigwait(&signals, &received);
    if (server)
        server->stop();
    else
        line->stop();
    return 0;
}
