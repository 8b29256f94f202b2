#include <cstdint>
#include <string>
#include <vector>

#include "devhost/meterhost/commands.h"
#include "host/smd_spdevice.h"

namespace meterhost {

namespace {

// Control requests of the device, and what the outcome query answers.
constexpr int kWriteRegister = 206;
constexpr int kWriteRegisters = 210;
constexpr int kOutcomeQuery = 0;  // any code without a meaning of its own
constexpr std::int32_t kConfirmed = 1;
constexpr std::int32_t kRefused = 3;

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

int run_write(BenchSession& session, const HostOptions& options, HostOutput& out)
{
    std::vector<std::uint16_t> request{options.address};
    request.insert(request.end(), options.values.begin(), options.values.end());
    const int code = options.values.size() == 1 ? kWriteRegister : kWriteRegisters;
    int count = 0;
    session.device().DeviceIoControl(code, request.data(), static_cast<int>(request.size() * 2),
                                     nullptr, 0, count);
    session.transport().perform_pending();

    std::int32_t outcome = -1;
    count = 0;
    session.device().DeviceIoControl(kOutcomeQuery, nullptr, 0, &outcome, sizeof outcome, count);
    const std::string what = describe_write(options);
    if (count == sizeof outcome && outcome == kConfirmed) {
        out.write("confirmed: " + what + "\n");
        return 0;
    }
    std::string why = "no reply to the write";
    if (count == sizeof outcome && outcome == kRefused)
        why = "the meter's reply did not echo the write";
    else if (!session.transport().last_failure().empty())
        why = session.transport().last_failure();
    out.write("not confirmed: " + what + " (" + why + ")\n");
    return 1;
}

}  // namespace meterhost
