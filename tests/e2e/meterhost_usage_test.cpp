// meterhost's write subcommand, and how it answers bad command lines,
// configurations and modules: one clear message and exit status 2.
#include <gtest/gtest.h>

#include <csignal>

#include "tests/e2e/e2e_support.h"
#include "metersim/faults.h"

namespace {

using namespace e2e;

struct WriteCase {
    const char* name;
    std::vector<std::string> sim_args;
    std::vector<std::string> operands;  // ADDRESS VALUE...
    int status;
    const char* output;  // start of standard output
    int register_read_back;  // register to check afterwards, 0 for none
    double read_back_value;  // as the snapshot shows it
};

// The simulator answers at once: the timeout leaves 200 ms for the
// scheduling of either side before a write counts as unanswered.
class MeterhostWrite : public testing::TestWithParam<WriteCase> {};

TEST_P(MeterhostWrite, PrintsAndExitsWithTheOutcome)
{
    const WriteCase& c = GetParam();
    TempDir dir;
    std::vector<std::string> sim_args{"--table", dir.file("table", table_text(Registers{}))};
    sim_args.insert(sim_args.end(), c.sim_args.begin(), c.sim_args.end());
    auto slave = start_metersim(sim_args);

    // The echo of a write begins 3.5 characters after the request, under 4 ms
    // at the simulator's 9600 baud: 200 ms is margin for the scheduling of
    // meterhost and the simulator, and only the no-reply case waits it out.
    std::vector<std::string> argv{kMeterhost, "write", "--port", slave.port, "--timeout-ms", "200"};
    argv.insert(argv.end(), c.operands.begin(), c.operands.end());
    const Finished run = run_command(argv);
    EXPECT_EQ(run.status, c.status) << run.out << run.err;
    EXPECT_EQ(run.out.rfind(c.output, 0), 0u) << run.out;
    EXPECT_EQ(lines_of(run.out).size(), 1u) << run.out;

    if (c.register_read_back != 0) {
        const Finished poll = run_command(
            {kMeterhost, "--port", slave.port, "--rounds", "1", "--json", "--interval", "0.05"});
        const auto lines = lines_of(poll.out);
        ASSERT_EQ(lines.size(), 1u) << poll.err;
        const char* key = c.register_read_back == 20 ? "B相有功功率" : "总功率因数";
        EXPECT_EQ(parse_json(lines[0])[key].asDouble(), c.read_back_value);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MeterhostWrite,
    testing::Values(
        WriteCase{"SingleConfirmed", {}, {"20", "500"}, 0, "confirmed", 20, 0.5},
        WriteCase{"MultipleConfirmed", {}, {"27", "7", "0x0BB8"}, 0, "confirmed", 28, 3000},
        WriteCase{"SingleWrongEcho", {"--fault", metersim::kFaultWrongEcho}, {"20", "500"}, 1,
                  "not confirmed", 0, 0},
        WriteCase{"MultipleWrongEcho", {"--fault", metersim::kFaultWrongEcho}, {"27", "1", "2"},
                  1, "not confirmed", 0, 0},
        WriteCase{"NoReply", {"--fault", metersim::kFaultNoReply}, {"20", "500"}, 1,
                  "not confirmed", 0, 0},
        WriteCase{"OutsideTheMeter", {}, {"100", "1"}, 1, "not confirmed", 0, 0},
        WriteCase{"TooManyForOneWrite",
                  {},
                  std::vector<std::string>(125, "1"),
                  1,
                  "not confirmed",
                  0,
                  0}),
    [](const testing::TestParamInfo<WriteCase>& param_info) { return param_info.param.name; });

TEST(MeterhostWriteRefusal, TooManyRegistersNeverReachTheLine)
{
    TempDir dir;
    auto slave = start_metersim({"--verbose"});
    std::vector<std::string> argv{kMeterhost, "write", "--port", slave.port, "10"};
    for (int i = 0; i < 124; ++i)
        argv.push_back("1");
    const Finished run = run_command(argv);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("SPModbus get error"), std::string::npos) << run.err;
    // The report of the loaded module: its file, version and build id (a SHA-1).
    const std::size_t loaded = run.err.find("meterhost: loaded ");
    const std::string report =
        loaded == std::string::npos ? "" : run.err.substr(loaded, run.err.find('\n', loaded) - loaded);
    EXPECT_NE(report.find("kalvorpowermeter.so: kalvorpowermeter "), std::string::npos) << run.err;
    const std::size_t id = report.find(", build id ");
    EXPECT_TRUE(id != std::string::npos && report.size() - id == 11 + 40) << report;
    EXPECT_NE(run.out.find("1 to 123"), std::string::npos) << run.out;
    slave.process->send_signal(SIGTERM);
    slave.process->wait(std::chrono::seconds(5));
    for (const std::string& line : lines_of(slave.process->err()))
        EXPECT_NE(line.find(" set up at "), std::string::npos)
            << "the simulator saw the port opened and no request: " << line;
}

struct UsageCase {
    const char* name;
    std::vector<std::string> args;
    const char* config;  // written to a file passed with --config, when set
    const char* message;
};

class MeterhostUsage : public testing::TestWithParam<UsageCase> {};

TEST_P(MeterhostUsage, OneClearMessageAndStatusTwo)
{
    const UsageCase& c = GetParam();
    TempDir dir;
    std::vector<std::string> argv{kMeterhost};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    if (c.config != nullptr) {
        argv.push_back("--config");
        argv.push_back(dir.file("config.json", c.config));
    }
    const Finished run = run_command(argv);
    EXPECT_EQ(run.status, 2) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err.rfind("meterhost: ", 0), 0u) << run.err;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    EXPECT_LE(lines_of(run.err).size(), 2u) << "one message, and a pointer to --help";
}

// The parser's refusals are tested in the test's process
// (meterhost_command_line_test); these few show how main reports them.
INSTANTIATE_TEST_SUITE_P(
    CommandLines, MeterhostUsage,
    testing::Values(
        UsageCase{"UnknownOption", {"--bogus"}, nullptr, "unknown option '--bogus'"},
        UsageCase{"MissingValue", {"--port"}, nullptr, "--port needs a value"},
        UsageCase{"WriteWithRounds", {"write", "--rounds", "2", "20", "1"}, nullptr,
                  "--rounds does not apply to write"},
        UsageCase{"PortMissing", {"--port", "/nonexistent/ttyUSB9"}, nullptr,
                  "cannot open port /nonexistent/ttyUSB9"}),
    [](const testing::TestParamInfo<UsageCase>& param_info) { return param_info.param.name; });

INSTANTIATE_TEST_SUITE_P(
    Configurations, MeterhostUsage,
    testing::Values(
        UsageCase{"Unreadable", {"--config", "/nonexistent/config.json"}, nullptr,
                  "cannot read configuration /nonexistent/config.json"},
        UsageCase{"NotJson", {}, "{\"port\": ", "is not valid JSON"},
        UsageCase{"NotAnObject", {}, "[1, 2]", "must be a JSON object"},
        UsageCase{"BaudAsText", {}, "{\"baud\": \"fast\"}", "\"baud\""},
        UsageCase{"SlaveOutOfRange", {}, "{\"slave\": 300}", "\"slave\""},
        UsageCase{"EmptyPort", {}, "{\"port\": \"\"}", "\"port\""},
        UsageCase{"BadParity", {}, "{\"parity\": \"X\"}", "\"parity\""},
        UsageCase{"ZeroTimeout", {}, "{\"timeout_ms\": 0}", "\"timeout_ms\""}),
    [](const testing::TestParamInfo<UsageCase>& param_info) { return param_info.param.name; });

// Each way a module can fail to load has its own message naming the path.
TEST(MeterhostModuleLoading, EachFailureHasItsOwnMessage)
{
    TempDir dir;
    const std::string text_file = dir.file("not-a-module.so", "just text\n");
    const struct {
        std::string path;
        std::string message;
    } cases[] = {
        {dir.path("missing.so"), "no module at " + dir.path("missing.so")},
        {text_file, "cannot load " + text_file + " as a module: "},
        {kNoEntryModule, kNoEntryModule + " has no get_providers entry: "},
        {kForeignProviderModule, kForeignProviderModule + " offers no serial-device provider"},
    };
    for (const auto& c : cases) {
        const Finished run = run_command({kMeterhost, "--module", c.path, "--rounds", "1"});
        EXPECT_EQ(run.status, 2) << c.path;
        EXPECT_NE(run.err.find("meterhost: " + c.message), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "");
    }
}

TEST(MeterhostHelp, DocumentsEveryOptionAndTheSubcommands)
{
    const Finished run = run_command({kMeterhost, "--help"});
    EXPECT_EQ(run.status, 0);
    for (const char* option :
         {"--module", "--port", "--baud", "--parity", "--slave", "--timeout-ms", "--config",
          "--data-id", "--interval", "--rounds", "--json", "--history", "--trace",
          "--all-settings", "meterhost write", "meterhost scan", "tcp://HOST:PORT",
          "rtu+tcp://HOST:PORT"})
        EXPECT_NE(run.out.find(option), std::string::npos) << option;
}

}  // namespace
