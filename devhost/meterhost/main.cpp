// meterhost: the bench host. Loads the power-meter module as the gateway's
// host does and drives a meter over Modbus RTU.
#include <iostream>
#include <string>
#include <vector>

#include "bench_session.h"
#include "command_line.h"
#include "commands.h"
#include "device_config.h"
#include "host_output.h"

namespace {

void report(const std::string& line) { std::cerr << "meterhost: " << line << std::endl; }

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
    const DeviceConfig config = build_device_config(options);
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
                                           : run_poll(session, options, out);
    } catch (const SetupFailure& failure) {
        if (failure.what()[0] != '\0')
            report(failure.what());
        return failure.exit_status;
    }
}
