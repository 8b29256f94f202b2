// metersim's parser in the test's process: what a command line sets up, and
// every kind of fault in one refused with one line that names it (main
// prints it after "metersim: " and exits with status 2).
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "metersim/command_line.h"

namespace {

using metersim::FaultKind;

metersim::ParsedSimCommandLine parse(const std::vector<std::string>& args)
{
    return metersim::parse_command_line(args);
}

TEST(MetersimCommandLine, ListsFaultsAndLineSettingsReachTheSimulator)
{
    const auto parsed = parse({"--slave", "1-3,7", "--dead", "2,7", "--fault", "bad-crc:3",
                               "--fault", "no-reply", "--baud=19200", "--parity", "E",
                               "--line-time", "--fault-delay-ms", "900", "--verbose"});
    ASSERT_TRUE(parsed.ok) << parsed.error;
    const metersim::SimulatorOptions& options = parsed.command.options;
    EXPECT_EQ(options.slaves, (std::vector<int>{1, 2, 3, 7}));
    EXPECT_EQ(options.dead, (std::vector<int>{2, 7}));
    ASSERT_EQ(options.faults.size(), 2u) << "--fault may be repeated";
    EXPECT_EQ(options.faults[0].kind, FaultKind::BadCrc);
    EXPECT_EQ(options.faults[0].every, 3u);
    EXPECT_EQ(options.faults[1].kind, FaultKind::NoReply);
    EXPECT_EQ(options.faults[1].every, 1u);
    EXPECT_EQ(options.baud, 19200);
    EXPECT_EQ(options.parity, 'E');
    EXPECT_TRUE(options.line_time);
    EXPECT_EQ(options.fault_delay.count(), 900);
    EXPECT_TRUE(parsed.command.verbose);
    EXPECT_FALSE(parsed.command.listen);
    EXPECT_FALSE(parsed.help);
}

TEST(MetersimCommandLine, ListenAndHelp)
{
    const auto parsed = parse({"--listen", "rtu+tcp://127.0.0.1:0", "--slave", "5"});
    ASSERT_TRUE(parsed.ok) << parsed.error;
    ASSERT_TRUE(parsed.command.listen);
    EXPECT_EQ(parsed.command.listen->kind, modbus::LineKind::RtuOverTcp);
    EXPECT_EQ(parsed.command.options.slaves, std::vector<int>{5});

    const auto help = parse({"--help", "--bogus"});
    EXPECT_TRUE(help.ok && help.help) << "nothing after --help is read";
    EXPECT_NE(metersim::help_text().find("\n  --fault KIND[:N]     misbehave on every Nth"),
              std::string::npos);
}

struct Refused {
    const char* name;
    std::vector<std::string> args;
    const char* message;  // the error must contain this
};

void PrintTo(const Refused& input, std::ostream* out) { *out << input.name; }

class MetersimRefuses : public testing::TestWithParam<Refused> {};

TEST_P(MetersimRefuses, WithOneLineNamingTheFault)
{
    const Refused& c = GetParam();
    const auto parsed = parse(c.args);
    EXPECT_FALSE(parsed.ok);
    EXPECT_NE(parsed.error.find(c.message), std::string::npos) << parsed.error;
    EXPECT_EQ(parsed.error.find('\n'), std::string::npos) << parsed.error;
}

std::string name_of(const testing::TestParamInfo<Refused>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(
    CommandLines, MetersimRefuses,
    testing::Values(
        Refused{"UnknownOption", {"--bogus"}, "unknown option '--bogus'"},
        Refused{"StrayArgument", {"7"}, "unexpected argument '7'"},
        Refused{"MissingValue", {"--slave"}, "--slave needs a value"},
        Refused{"BaudBelowRange", {"--baud", "49"}, "--baud needs a whole number from 50"},
        Refused{"BaudAboveRange", {"--baud", "4000001"}, "to 4000000, not '4000001'"},
        Refused{"FaultDelayZero", {"--fault-delay-ms", "0"}, "--fault-delay-ms"},
        Refused{"FaultEveryZerothRequest", {"--fault", "no-reply:0"}, "--fault takes KIND"},
        Refused{"FaultOfNoKind", {"--fault", "sleep:2"}, "not 'sleep:2'"},
        Refused{"SlaveRangeBackwards", {"--slave", "8-1"}, "--slave takes N, A-B"},
        Refused{"SlavePastTheLast", {"--slave", "1,248"}, "not '1,248'"},
        Refused{"DeadNotServed", {"--slave", "1-3", "--dead", "4"}, "--dead 4 is not among"},
        Refused{"Parity", {"--parity", "e"}, "--parity takes N, E or O"},
        Refused{"EmptyDevice", {"--device="}, "--device needs a path"},
        Refused{"TableMissing", {"--table", "/nonexistent/table"}, "/nonexistent/table"},
        Refused{"ListenOnSerial", {"--listen", "/dev/ttyS0"}, "--listen takes tcp://"},
        Refused{"ListenWithLineTime", {"--listen", "tcp://127.0.0.1:0", "--line-time"},
                "--line-time are for a serial line"},
        Refused{"LinkWithDevice", {"--device", "/dev/ttyS0", "--link", "/tmp/x"},
                "--link applies to the pseudo-terminal only"}),
    name_of);

}  // namespace
