// meterhost: the bench host. Loads the power-meter module as the gateway's
// host does and drives meters over Modbus, on serial lines or over the
// network.
#include <cerrno>
#include <iostream>
#include <string>
#include <vector>

#include <unistd.h>

#include "bench_session.h"
#include "command_line.h"
#include "commands.h"
#include "host_config.h"
#include "host_output.h"

namespace {

// One write of the whole line: lines from several line threads never mix.
void report(const std::string& line)
{
    const std::string text = "meterhost: " + line + "\n";
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t written = ::write(STDERR_FILENO, text.data() + done, text.size() - done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        done += static_cast<std::size_t>(written);
    }
}

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
                                           : run_poll(session, options, out, report);
    } catch (const SetupFailure& failure) {
        if (failure.what()[0] != '\0')
            report(failure.what());
        return failure.exit_status;
    }
}
