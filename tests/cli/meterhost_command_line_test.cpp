// meterhost's parser given what a new user types by mistake: every invalid
// option, number, operand and combination is refused with one line that
// names it (main prints it after "meterhost: " and exits with status 2, as
// the end-to-end cases in meterhost_bad_input_test and meterhost_usage_test
// show for a few of them).
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "devhost/meterhost/command_line.h"

namespace {

struct Refused {
    const char* name;
    std::vector<std::string> args;
    const char* message;  // the error must contain this
};

void PrintTo(const Refused& input, std::ostream* out) { *out << input.name; }

class MeterhostCommandLine : public testing::TestWithParam<Refused> {};

TEST_P(MeterhostCommandLine, RefusedWithOneLineNamingTheFault)
{
    const Refused& c = GetParam();
    const meterhost::ParsedCommandLine parsed = meterhost::parse_command_line(c.args);
    EXPECT_FALSE(parsed.ok);
    EXPECT_NE(parsed.error.find(c.message), std::string::npos) << parsed.error;
    EXPECT_EQ(parsed.error.find('\n'), std::string::npos) << parsed.error;
}

std::string name_of(const testing::TestParamInfo<Refused>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(
    Options, MeterhostCommandLine,
    testing::Values(
        Refused{"UnknownOption", {"--bogus"}, "unknown option '--bogus'"},
        Refused{"WrongCase", {"--Port", "/dev/ttyS0"}, "'--Port'"},
        Refused{"DoubleDash", {"--"}, "'--'"},
        Refused{"HelpWithValue", {"--help=all"}, "--help"},
        Refused{"FlagWithValue", {"--json=yes"}, "--json"},
        Refused{"EmptyPortAfterEquals", {"--port="}, "--port"},
        Refused{"EmptyConfigAfterEquals", {"--config="}, "--config"},
        Refused{"MissingValue", {"--port"}, "--port needs a value"},
        Refused{"ValueMissingAtEnd", {"--slave"}, "--slave"},
        Refused{"StrayArgument", {"poll"}, "unexpected argument 'poll'"},
        Refused{"SameLineTwice", {"--port", "/dev/ttyS0", "--port", "/dev/ttyS0"},
                "given twice"},
        Refused{"SlaveRangeBackwards", {"--slave", "8-1"}, "--slave"},
        Refused{"WriteToSeveralMeters", {"write", "--slave", "1-2", "20", "1"}, "one meter"},
        Refused{"AllSettingsWhenPolling", {"--all-settings"}, "--all-settings"}),
    name_of);

INSTANTIATE_TEST_SUITE_P(
    Numbers, MeterhostCommandLine,
    testing::Values(
        Refused{"OddBaud", {"--baud", "1234"}, "--baud"},
        Refused{"BaudWithFraction", {"--baud", "9600.0"}, "--baud"},
        Refused{"BaudEmpty", {"--baud", ""}, "--baud"},
        Refused{"SpeedListWhenPolling", {"--baud", "9600,19200"}, "for scan"},
        Refused{"Parity", {"--parity", "X"}, "--parity takes N, E or O"},
        Refused{"SlaveZero", {"--slave", "0"}, "--slave needs Modbus addresses from 1"},
        Refused{"SlaveTooHigh", {"--slave", "248"}, "to 247"},
        Refused{"SlaveInScientificNotation", {"--slave", "1e2"}, "--slave"},
        Refused{"SlaveNegative", {"--slave", "-1"}, "--slave"},
        Refused{"TimeoutOverflowingLong", {"--timeout-ms", "99999999999999999999"},
                "--timeout-ms"},
        Refused{"DataIdNegative", {"--data-id", "-1"}, "--data-id"},
        Refused{"DataIdPast32Bits", {"--data-id", "4294967296"}, "--data-id"},
        Refused{"IntervalNotANumber", {"--interval", "nan"}, "--interval"},
        Refused{"IntervalInfinite", {"--interval", "inf"}, "--interval"},
        Refused{"IntervalNegative", {"--interval", "-0.5"}, "--interval"},
        Refused{"IntervalPastADay", {"--interval", "86401"}, "--interval"},
        Refused{"RoundsZero", {"--rounds", "0"}, "--rounds"},
        Refused{"RoundsNegative", {"--rounds", "-1"}, "--rounds"},
        Refused{"RetryWaitsReversed", {"--retry-min", "9", "--retry-max", "1"}, "--retry-min"}),
    name_of);

INSTANTIATE_TEST_SUITE_P(
    WriteOperands, MeterhostCommandLine,
    testing::Values(
        Refused{"WithoutValue", {"write", "20"}, "ADDRESS and at least one VALUE"},
        Refused{"AddressPast16Bits", {"write", "0x10000", "1"}, "ADDRESS"},
        Refused{"AddressNegative", {"write", "-5", "1"}, "ADDRESS"},
        Refused{"ValueText", {"write", "10", "ten"}, "VALUE"},
        Refused{"ValueTooBig", {"write", "20", "65536"}, "VALUE must be 0 to 65535"},
        Refused{"WithRounds", {"write", "--rounds", "2", "20", "1"},
                "--rounds does not apply to write"}),
    name_of);

INSTANTIATE_TEST_SUITE_P(
    Scan, MeterhostCommandLine,
    testing::Values(
        Refused{"WithoutPort", {"scan", "--slave", "1-5"}, "scan takes one --port"},
        Refused{"OfTwoPorts", {"scan", "--port", "/dev/ttyS0", "--port", "/dev/ttyS1"},
                "scan takes one --port"},
        Refused{"WithRounds", {"--port", "/dev/ttyS0", "scan", "--rounds", "1"},
                "--rounds does not apply to scan"},
        Refused{"ParityListWithJunk", {"scan", "--port", "/dev/ttyS0", "--parity", "N,X"},
                "--parity"},
        Refused{"SpeedTwice", {"scan", "--port", "/dev/ttyS0", "--baud", "9600,9600"}, "--baud"}),
    name_of);

}  // namespace
