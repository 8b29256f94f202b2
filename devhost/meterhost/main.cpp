// meterhost: the bench host. Loads the power-meter module as the gateway's
// host does and drives meters over Modbus, on serial lines or over the
// network, or finds them (scan).
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "devhost/meterhost/command_line.h"
#include "devhost/meterhost/commands.h"
#include "devhost/meterhost/frame_trace.h"
#include "devhost/meterhost/host_config.h"
#include "devhost/meterhost/host_messages.h"
#include "devhost/meterhost/host_output.h"

namespace {

int usage_error(const std::string& message)
{
    std::cerr << "meterhost: " << message << "\nTry 'meterhost --help'.\n";
    return meterhost::kExitUsage;
}

// The --trace file, or null without one. Throws std::runtime_error.
std::unique_ptr<meterhost::FrameTrace> open_trace(const meterhost::HostOptions& options,
                                                  const meterhost::Reporter& report)
{
    if (options.trace_file.empty())
        return nullptr;
    return std::make_unique<meterhost::FrameTrace>(options.trace_file, report);
}

}  // namespace

int main(int argc, char** argv)
{
    using namespace meterhost;
    const ParsedCommandLine parsed =
        parse_command_line(std::vector<std::string>(argv + 1, argv + argc));
    if (!parsed.ok)
        return usage_error(parsed.error);
    const HostOptions& options = parsed.options;
    if (options.mode == Mode::Help) {
        std::cout << help_text();
        return 0;
    }
    HostMessages messages;
    const Reporter report = [&messages](const std::string& line) { messages.report(line); };
    HostConfig config;
    if (options.mode != Mode::Scan) {
        config = build_host_config(options);
        if (!config.ok) {
            report(config.error);
            return kExitUsage;
        }
    }

    HostOutput out;
    try {
        out.divert();
    } catch (const std::runtime_error& error) {
        report(error.what());
        return 1;
    }
    try {
        // Declared first, so that it outlives every line it watches.
        const std::unique_ptr<FrameTrace> trace = open_trace(options, report);
        if (options.mode == Mode::Scan)
            return run_scan(options, out, report, trace.get());
        return options.mode == Mode::Write ? run_write(options, config, out, messages, trace.get())
                                           : run_poll(options, config, out, messages, trace.get());
    } catch (const SetupFailure& failure) {
        if (failure.what()[0] != '\0')
            report(failure.what());
        return failure.exit_status;
    } catch (const std::runtime_error& error) {
        // Set-up that failed with no status of its own: a file, port or
        // module the user named cannot be used.
        report(error.what());
        return kExitUsage;
    }
}
