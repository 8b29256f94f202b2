// meterhost: the bench host. Loads the power-meter module as the gateway's
// host does and drives meters over Modbus, on serial lines or over the
// network.
#include <iostream>
#include <string>
#include <vector>

#include "bench_session.h"
#include "command_line.h"
#include "commands.h"
#include "host_config.h"
#include "host_messages.h"
#include "host_output.h"

namespace {

int usage_error(const std::string& message)
{
    std::cerr << "meterhost: " << message << "\nTry 'meterhost --help'.\n";
    return meterhost::kExitUsage;
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
        std::cout << kHelpText;
        return 0;
    }
    HostMessages messages;
    const Reporter report = [&messages](const std::string& line) { messages.report(line); };
    const HostConfig config = build_host_config(options);
    if (!config.ok) {
        report(config.error);
        return kExitUsage;
    }

    HostOutput out;
    std::string error;
    if (!out.divert(error)) {
        report(error);
        return 1;
    }
    try {
        BenchSession session(options, config, report);
        return options.mode == Mode::Write ? run_write(session, options, out)
                                           : run_poll(session, options, out, messages);
    } catch (const SetupFailure& failure) {
        if (failure.what()[0] != '\0')
            report(failure.what());
        return failure.exit_status;
    }
}
