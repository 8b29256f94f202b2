// meterhost polling a meter over a pseudo-terminal: what it prints, how it
// rides out a misbehaving meter, and how it survives the port going away.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <thread>

#include "tests/e2e/e2e_support.h"
#include "metersim/faults.h"

namespace {

using namespace e2e;
using namespace std::chrono_literals;

Registers edge_table()
{
    Registers r{};
    for (std::size_t i = 0; i < r.size(); ++i)
        r[i] = static_cast<std::uint16_t>(100 * i + 7);
    r[0] = 65535;  // unscaled maximum
    r[9] = 1234;   // scaled: the single-precision quotient, not 1.234
    r[10] = 1;
    r[11] = 1000;
    r[12] = 0;
    r[29] = 65535;  // scaled maximum
    return r;
}

// Replies come at once (no line timing): the timeout leaves 200 ms for the
// scheduling of either side.
std::vector<std::string> poll_args(const std::string& port, int rounds)
{
    return {kMeterhost, "--port", port, "--rounds", std::to_string(rounds), "--json",
            "--interval", "0.05", "--timeout-ms", "200"};
}

void expect_json_rounds(const Finished& run, const Registers& registers, std::size_t rounds)
{
    ASSERT_EQ(run.status, 0) << run.err;
    const auto lines = lines_of(run.out);
    ASSERT_EQ(lines.size(), rounds) << "standard output:\n" << run.out;
    for (const std::string& line : lines) {
        const auto mismatches = snapshot_mismatches(parse_json(line), registers);
        EXPECT_TRUE(mismatches.empty()) << line << "\n" << testing::PrintToString(mismatches);
    }
    EXPECT_EQ(count_of(run.err, "rvSize is 0"), static_cast<int>(rounds))
        << "the module's diagnostics go to standard error";
}

TEST(MeterhostPolling, JsonLinesCarryTheSimulatorRegistersConverted)
{
    TempDir dir;
    const Registers registers = edge_table();
    const std::string table = dir.file("table", table_text(registers));
    // On its pseudo-terminal, and serving over TCP as a Modbus TCP gateway
    // and as a serial server.
    for (const std::vector<std::string>& served :
         {std::vector<std::string>{}, {"--listen", "tcp://127.0.0.1:0"},
          {"--listen", "rtu+tcp://127.0.0.1:0"}}) {
        std::vector<std::string> args{"--table", table};
        args.insert(args.end(), served.begin(), served.end());
        auto slave = start_metersim(args);
        expect_json_rounds(run_command(poll_args(slave.port, 3)), registers, 3);
    }
}

TEST(MeterhostPolling, JsonLinesFromAnIndependentLibmodbusSlave)
{
    TempDir dir;
    const Registers registers = edge_table();
    auto slave = start_plain_slave({dir.file("table", table_text(registers))});
    expect_json_rounds(run_command(poll_args(slave.port, 3)), registers, 3);
}

TEST(MeterhostPolling, LineTimingOfTheSimulatorStillCompletesRounds)
{
    TempDir dir;
    const Registers registers = edge_table();
    auto slave = start_metersim(
        {"--table", dir.file("table", table_text(registers)), "--line-time", "--baud", "19200"});
    auto args = poll_args(slave.port, 2);
    args.insert(args.end(), {"--baud", "19200"});
    expect_json_rounds(run_command(args), registers, 2);
}

// Every second request misbehaves; polling must report each failure through
// the module's error hook and still complete the rounds asked for. A delayed
// reply comes 150 ms after meterhost gave up, and 50 ms before its next
// poll: margins for either side's scheduling.
class MeterhostFaults : public testing::TestWithParam<const char*> {};

TEST_P(MeterhostFaults, ErrorsAreReportedAndPollingRecovers)
{
    TempDir dir;
    const Registers registers = edge_table();
    auto slave = start_metersim({"--table", dir.file("table", table_text(registers)), "--fault",
                                 std::string(GetParam()) + ":2", "--fault-delay-ms", "250"});
    const Finished run = run_command({kMeterhost, "--port", slave.port, "--rounds", "3", "--json",
                                      "--interval", "0.3", "--timeout-ms", kShortTimeoutMs});
    expect_json_rounds(run, registers, 3);
    EXPECT_GE(count_of(run.err, "SPModbus get error"), 2) << run.err;
}

INSTANTIATE_TEST_SUITE_P(EveryKind, MeterhostFaults,
                         testing::Values(metersim::kFaultNoReply, metersim::kFaultException,
                                         metersim::kFaultDelay, metersim::kFaultBadCrc),
                         [](const testing::TestParamInfo<const char*>& param_info) {
                             std::string name = param_info.param;
                             name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
                             return name;
                         });

TEST(MeterhostPolling, PortThatGoesAwayIsReopenedWhenItComesBack)
{
    TempDir dir;
    const std::string table = dir.file("table", table_text(edge_table()));
    const std::string link = dir.path("meter");
    auto slave = start_metersim({"--table", table, "--link", link});
    ChildProcess host({kMeterhost, "--port", link, "--json", "--interval", "0.1", "--timeout-ms",
                       kShortTimeoutMs});
    ASSERT_TRUE(host.read_line(10s)) << host.err();

    slave.process->send_signal(SIGTERM);
    ASSERT_EQ(slave.process->wait(5s), 0);
    ASSERT_TRUE(host.wait_for_error_text("lost", 10s)) << host.err();
    std::this_thread::sleep_for(300ms);  // a few polls with the port gone

    slave = start_metersim({"--table", table, "--link", link});
    ASSERT_TRUE(host.wait_for_error_text("is back", 10s)) << host.err();
    ASSERT_TRUE(host.read_line(10s)) << "rounds complete again";

    host.send_signal(SIGINT);
    EXPECT_EQ(host.wait(5s), 0) << "Ctrl-C ends the run cleanly";
    EXPECT_EQ(count_of(host.err(), "lost"), 1) << host.err();
    EXPECT_EQ(count_of(host.err(), "is back"), 1) << host.err();
}

TEST(MeterhostPolling, WithoutPortItPollsItsOwnSimulatedMeter)
{
    const Finished run =
        run_command({kMeterhost, "--rounds", "2", "--json", "--interval", "0.05"});
    ASSERT_EQ(run.status, 0) << run.err;
    const auto lines = lines_of(run.out);
    ASSERT_EQ(lines.size(), 2u) << run.out;
    for (const std::string& line : lines)
        EXPECT_EQ(parse_json(line).size(), 31u) << line;
    EXPECT_NE(run.err.find("simulated meter"), std::string::npos);
}

}  // namespace
