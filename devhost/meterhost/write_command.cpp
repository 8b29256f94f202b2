#include <cstdint>
#include <string>

#include "devhost/meterhost/commands.h"
#include "devhost/meterhost/host_session.h"

namespace meterhost {

namespace {

std::string describe_write(const HostOptions& options)
{
    std::string text = options.values.size() == 1
                           ? "register " + std::to_string(options.address)
                           : "registers " + std::to_string(options.address) + " to " +
                                 std::to_string(options.address + options.values.size() - 1);
    text += " =";
    for (std::uint16_t value : options.values)
        text += " " + std::to_string(value);
    return text;
}

}  // namespace

int run_write(const HostOptions& options, const HostConfig& config, HostOutput& out,
              HostMessages& messages, MeterFrameObserver* trace)
{
    ReportedMessages events([&messages](const std::string& text) { messages.report(text); });
    BenchSession session(session_options(options, config), events);
    session.watch_lines(trace);
    const WriteOutcome outcome = session.write_registers(0, options.address, options.values);
    const std::string what = describe_write(options);
    if (outcome.answer == WriteOutcome::kConfirmed) {
        out.write("confirmed: " + what + "\n");
        return 0;
    }
    std::string why = "no reply to the write";
    if (outcome.answer == WriteOutcome::kRefused)
        why = "the meter's reply did not echo the write";
    else if (!outcome.last_failure.empty())
        why = outcome.last_failure;
    out.write("not confirmed: " + what + " (" + why + ")\n");
    return 1;
}

}  // namespace meterhost
