// meterhost given what a new user types or points it at by mistake: every
// invalid port, module and configuration file, and a command line the parser
// refuses, must end in one clear line on standard error and exit status 2,
// never a crash, a hang or a stack trace, and nothing on standard output.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "tests/e2e/e2e_support.h"

namespace {

using e2e::TempDir;

struct BadInput {
    const char* name;
    std::vector<std::string> args;
    // Written to a file passed with --config, when set.
    std::string config;
    // The message must contain this.
    const char* message;
};

void PrintTo(const BadInput& input, std::ostream* out) { *out << input.name; }

// Lines meterhost may print besides its one message: the pointer to --help
// after a command-line error, the notice that it started its own meter, and
// the version and build id of the module it loaded.
bool is_companion_line(const std::string& line)
{
    return line == "Try 'meterhost --help'." || line.rfind("meterhost: no --port: ", 0) == 0 ||
           line.rfind("meterhost: loaded ", 0) == 0;
}

class MeterhostBadInput : public testing::TestWithParam<BadInput> {};

TEST_P(MeterhostBadInput, OneLineAndStatusTwo)
{
    const BadInput& c = GetParam();
    TempDir dir;
    std::vector<std::string> argv{e2e::kMeterhost};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    if (!c.config.empty()) {
        argv.push_back("--config");
        argv.push_back(dir.file("config.json", c.config));
    }
    const Finished run = run_command(argv, std::chrono::seconds(20));

    EXPECT_EQ(run.status, 2) << run.err;
    EXPECT_EQ(run.out, "");
    std::vector<std::string> messages;
    for (const std::string& line : e2e::lines_of(run.err))
        if (!is_companion_line(line))
            messages.push_back(line);
    ASSERT_EQ(messages.size(), 1u) << run.err;
    EXPECT_EQ(messages[0].rfind("meterhost: ", 0), 0u) << messages[0];
    EXPECT_NE(messages[0].find(c.message), std::string::npos) << messages[0];
}

std::string nested_arrays(std::size_t depth)
{
    return std::string(depth, '[') + std::string(depth, ']');
}

std::string name_of(const testing::TestParamInfo<BadInput>& info) { return info.param.name; }

// The parser's refusals are tested in the test's process
// (meterhost_command_line_test); these few show how main reports them.
INSTANTIATE_TEST_SUITE_P(
    Options, MeterhostBadInput,
    testing::Values(
        BadInput{"ShortOption", {"-p", "/dev/ttyS0"}, "", "'-p'"},
        BadInput{"EmptyPortAfterEquals", {"--port="}, "", "--port"},
        BadInput{"ScanWithoutPort", {"scan", "--slave", "1-5"}, "", "scan takes one --port"}),
    name_of);

INSTANTIATE_TEST_SUITE_P(
    PortsAndModules, MeterhostBadInput,
    testing::Values(
        BadInput{"PortIsADirectory", {"--port", "/tmp"}, "", "/tmp"},
        BadInput{"PortIsARegularFile", {"--port", "/etc/passwd"}, "", "/etc/passwd"},
        BadInput{"PortIsNotATerminal", {"--port", "/dev/null"}, "", "/dev/null"},
        BadInput{"ModuleIsADirectory", {"--module", "/tmp"}, "", "/tmp"},
        BadInput{"ModuleIsNotALibrary", {"--module", "/etc/passwd"}, "", "/etc/passwd"},
        BadInput{"ModuleIsEmpty", {"--module", "/dev/null"}, "", "/dev/null"},
        BadInput{"HistoryInMissingFolder",
                 {"--port", "/dev/null", "--history", "/nonexistent/folder/history.db"}, "",
                 "/nonexistent/folder/history.db"}),
    name_of);

INSTANTIATE_TEST_SUITE_P(
    ScanAndTrace, MeterhostBadInput,
    testing::Values(
        BadInput{"ScanOfAPortThatIsNoTerminal", {"scan", "--port", "/dev/null"}, "",
                 "/dev/null"},
        BadInput{"ScanOfAMalformedNetworkAddress", {"scan", "--port", "tcp://"}, "",
                 "names no host"},
        BadInput{"TraceInMissingFolder",
                 {"--port", "/dev/null", "--trace", "/nonexistent/folder/trace.jsonl"}, "",
                 "/nonexistent/folder/trace.jsonl"}),
    name_of);

INSTANTIATE_TEST_SUITE_P(
    NetworkAddresses, MeterhostBadInput,
    testing::Values(
        BadInput{"NoHost", {"--port", "tcp://"}, "", "names no host"},
        BadInput{"NoPort", {"--port", "rtu+tcp://192.0.2.7"}, "", "names no TCP port"},
        BadInput{"PortZero", {"--port", "tcp://192.0.2.7:0"}, "", "1 to 65535"},
        BadInput{"PortPast16Bits", {"--port", "tcp://[::1]:65536"}, "", "1 to 65535"},
        BadInput{"IPv6OutOfBrackets", {"--port", "tcp://::1:502"}, "", "brackets"},
        BadInput{"UnknownKind", {"--port", "udp://192.0.2.7:502"}, "", "no kind of line"},
        // A label longer than the 63 bytes DNS allows: refused before any
        // name server is asked, so the test never waits on one.
        BadInput{"HostDoesNotResolve",
                 {"--port", "tcp://" + std::string(64, 'x') + ".invalid:502"}, "",
                 "does not resolve"},
        BadInput{"InTheConfiguration", {}, "{\"lines\": [{\"port\": \"tcp://:502\"}]}",
                 "names no host"}),
    name_of);

INSTANTIATE_TEST_SUITE_P(
    ConfigurationFiles, MeterhostBadInput,
    testing::Values(
        BadInput{"ConfigIsADirectory", {"--config", "/tmp"}, "", "/tmp"},
        BadInput{"EmptyFile", {}, "\n", "is not valid JSON"},
        BadInput{"BinaryJunk", {}, std::string("\x7f" "ELF\x01\x01\x01\0\0\0", 10),
                 "is not valid JSON"},
        BadInput{"NestedPastTheReadersLimit", {}, nested_arrays(100000), "is not valid JSON"},
        BadInput{"UnterminatedString", {}, "{\"port\": \"/dev/ttyS0}", "is not valid JSON"},
        BadInput{"NumberOutOfRange", {}, "{\"baud\": 1e400}", "is not valid JSON"},
        BadInput{"JustAString", {}, "\"/dev/ttyS0\"", "must be a JSON object"},
        BadInput{"SlaveFraction", {}, "{\"slave\": 1.5}", "\"slave\""},
        BadInput{"SlaveBoolean", {}, "{\"slave\": true}", "\"slave\""},
        BadInput{"SlaveNegative", {}, "{\"slave\": -1}", "\"slave\""},
        BadInput{"PortNumber", {}, "{\"port\": 42}", "\"port\""},
        BadInput{"PortNull", {}, "{\"port\": null}", "\"port\""},
        BadInput{"TimeoutAsText", {}, "{\"timeout_ms\": \"100\"}", "\"timeout_ms\""},
        BadInput{"TimeoutHuge", {}, "{\"timeout_ms\": 99999999999}", "\"timeout_ms\""},
        BadInput{"ParityTwoLetters", {}, "{\"parity\": \"NN\"}", "\"parity\""},
        BadInput{"BaudFraction", {}, "{\"baud\": 9600.5}", "\"baud\""},
        BadInput{"LastDuplicateWins", {}, "{\"slave\": 1, \"slave\": 300}", "\"slave\""},
        BadInput{"LinesAndPort", {},
                 R"({"port": "/dev/ttyS0", "lines": [{"port": "/dev/ttyS1"}]})", "\"lines\""},
        BadInput{"LineSlaveOutOfRange", {},
                 R"({"lines": [{"port": "/dev/ttyS0", "slave": [1, 0]}]})", "\"slave\""}),
    name_of);

}  // namespace
