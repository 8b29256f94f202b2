// metersim: simulated three-phase power meters speaking Modbus RTU on a new
// pseudo-terminal (whose path it prints first) or on a serial device, or
// served over TCP (Modbus TCP, or RTU frames over TCP).
#include <csignal>
#include <exception>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <pthread.h>

#include "metersim/command_line.h"
#include "metersim/meters.h"
#include "metersim/network_server.h"
#include "metersim/serial_server.h"

namespace {

int usage_error(const std::string& message)
{
    std::cerr << "metersim: " << message << "\nTry 'metersim --help'.\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    const metersim::ParsedSimCommandLine parsed =
        metersim::parse_command_line(std::vector<std::string>(argv + 1, argv + argc));
    if (!parsed.ok)
        return usage_error(parsed.error);
    if (parsed.help) {
        std::cout << metersim::help_text();
        return 0;
    }
    metersim::SimCommandLine command = parsed.command;
    if (command.verbose)
        command.options.log = [](const std::string& line) {
            std::cerr << "metersim: " << line << '\n';
        };

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
