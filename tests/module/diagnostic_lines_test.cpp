// The module's standard-output lines when a host runs devices on several
// threads at once: each line reaches the stream as one write of the whole
// line, so lines of different devices never interleave.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <thread>
#include <vector>

#include "cout_capture.h"
#include "meter_requests.h"
#include "module_fixture.h"

namespace {

constexpr int kDevices = 4;
constexpr int kRoundsEach = 100;
constexpr std::size_t kRulesPerDevice = 7;  // device i: 7 * i rules, up to two digits

class DiagnosticLines : public kpmtest::ModuleTest {};

TEST_F(DiagnosticLines, EveryLineIsOneWholeWriteWhileDevicesRunOnSeveralThreads)
{
    std::vector<SPModbus*> devices;
    for (int i = 0; i < kDevices; ++i)
        devices.push_back(&new_device());

    std::map<std::string, int> writes;
    {
        kpmtest::CoutWrites out;
        std::vector<std::thread> lines;
        for (int i = 0; i < kDevices; ++i)
            lines.emplace_back([device = devices[i], rules = kRulesPerDevice * i] {
                for (int round = 0; round < kRoundsEach; ++round) {
                    device->rule_values.resize(rules);
                    kpmtest::complete_round(*device, kpmtest::block_of(1));
                    device->on_error();  // the default hook, as after a failed exchange
                }
            });
        for (std::thread& line : lines)
            line.join();
        for (const std::string& piece : out.pieces())
            ++writes[piece];
    }

    std::map<std::string, int> expected = {{"SPModbus get error\n", kDevices * kRoundsEach}};
    for (int i = 0; i < kDevices; ++i)
        expected["rvSize is " + std::to_string(kRulesPerDevice * i) + "\n"] = kRoundsEach;
    EXPECT_EQ(writes, expected);
}

}  // namespace
