// The module's standard-output lines: when a host runs devices on several
// threads at once, each line reaches the stream as one write of the whole
// line, so lines of different devices never interleave; and each line is
// flushed by the call that writes it.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/cout_capture.h"
#include "tests/support/meter_requests.h"
#include "tests/support/module_fixture.h"

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

// A host whose standard output is a pipe has it fully buffered by C stdio,
// which std::cout writes through: each line is in the pipe by the time the
// call that made it returns only if the module flushes it. Done in a child
// process, so that the test's own standard output stays as it was.
TEST_F(DiagnosticLines, EachLineIsInAFullyBufferedPipeWhenItsCallReturns)
{
    SPModbus& device = new_device();
    int pipe_ends[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    std::fflush(stdout);  // the child starts with nothing of ours to write
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        static char buffer[BUFSIZ];
        if (dup2(pipe_ends[1], STDOUT_FILENO) < 0 ||
            std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer) != 0)
            _exit(2);
        device.on_error();
        device.rule_values.resize(3);
        kpmtest::complete_round(device, kpmtest::block_of(1));
        // The pipe keeps only what the calls flushed: what stdio still holds
        // has nowhere to go, whatever the exit path flushes.
        close(STDOUT_FILENO);
        close(pipe_ends[1]);
        _exit(0);
    }
    close(pipe_ends[1]);
    std::string received;
    char chunk[256];
    for (;;) {
        const ssize_t count = read(pipe_ends[0], chunk, sizeof chunk);
        if (count == 0)
            break;
        if (count < 0 && errno == EINTR)
            continue;
        ASSERT_GT(count, 0) << std::strerror(errno);
        received.append(chunk, static_cast<std::size_t>(count));
    }
    close(pipe_ends[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(received, "SPModbus get error\nrvSize is 3\n");
}

}  // namespace
