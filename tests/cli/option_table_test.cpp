// The command-line table on a small program of its own: a default mode and
// a subcommand with operands, lines started by --port with options that
// follow them, values in both spellings, flags, refusals and the help text.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/option_table.h"
#include "cli/values.h"

namespace {

struct Line {
    std::string port;
    long speed = 0;
};

struct Options {
    Line defaults;
    std::vector<Line> lines;
    bool verbose = false;
    double wait_s = 0;
    std::string log;
};

Line& current_line(Options& o) { return o.lines.empty() ? o.defaults : o.lines.back(); }

constexpr cli::Modes kRun = cli::mode_bit(0);
constexpr cli::Modes kSend = cli::mode_bit(1);

const cli::Command<Options> kCommand{
    {
        {"--port", "PORT", cli::kEveryMode,
         [](Options& o, const std::string&, const std::string& value) {
             o.lines.push_back(Line{value, 0});
             return std::string();
         },
         "a line; the options after it\n  are its own", 1},
        {"--speed", "N", cli::kEveryMode,
         cli::whole_number<Options>(1, 1000, [](Options& o, long n) { current_line(o).speed = n; }),
         "its speed", 1},
        {"--verbose", "", cli::kEveryMode, cli::flag<Options>([](Options& o) { o.verbose = true; }),
         "say more"},
        {"--wait-seconds", "SECONDS", kRun,
         cli::seconds<Options>(60, [](Options& o, double s) { o.wait_s = s; }), "how long"},
        {"--log", "FILE", kSend, cli::text(&Options::log, "a file"), "where to"},
        cli::help_request<Options>("--help", "show this text"),
        cli::help_request<Options>("-h", ""),
    },
    {"Usage: tool\n", "Lines:\n", "End.\n"},
    16,
    {{"", "running"}, {"send", "send", true}},
};

cli::Parsed parse(const std::vector<std::string>& args, Options& options)
{
    return cli::parse(kCommand, args, options);
}

TEST(OptionTable, ValuesFlagsAndPerLineOptionsInOrder)
{
    Options o;
    const cli::Parsed parsed = parse({"--speed", "9", "--port=A", "--verbose", "--speed=0x10",
                                      "--port", "B", "--wait-seconds", "0.5"},
                                     o);
    ASSERT_TRUE(parsed.ok) << parsed.error;
    EXPECT_FALSE(parsed.help);
    EXPECT_EQ(parsed.mode, 0u);
    EXPECT_EQ(o.defaults.speed, 9) << "before the first --port: the defaults";
    ASSERT_EQ(o.lines.size(), 2u);
    EXPECT_EQ(o.lines[0].port, "A");
    EXPECT_EQ(o.lines[0].speed, 16);
    EXPECT_EQ(o.lines[1].port, "B");
    EXPECT_EQ(o.lines[1].speed, 0);
    EXPECT_TRUE(o.verbose);
    EXPECT_DOUBLE_EQ(o.wait_s, 0.5);
}

TEST(OptionTable, TheSubcommandMayFollowOptionsAndTakesTheOperands)
{
    Options o;
    const cli::Parsed parsed =
        parse({"--port", "send", "send", "1", "--log", "f", "2", "--port", "-h2"}, o);
    ASSERT_TRUE(parsed.ok) << parsed.error;
    EXPECT_EQ(parsed.mode, 1u);
    EXPECT_EQ(parsed.operands, (std::vector<std::string>{"1", "2"}));
    ASSERT_EQ(o.lines.size(), 2u);
    EXPECT_EQ(o.lines[0].port, "send") << "an option's value is not the subcommand";
    EXPECT_EQ(o.lines[1].port, "-h2");
    EXPECT_EQ(o.log, "f");
}

TEST(OptionTable, EachFaultIsOneLineNamingIt)
{
    const struct {
        std::vector<std::string> args;
        const char* error;
    } cases[] = {
        {{"--speeds", "9"}, "unknown option '--speeds'"},
        {{"--"}, "unknown option '--'"},
        {{"--port"}, "--port needs a value"},
        {{"--verbose=yes"}, "--verbose takes no value"},
        {{"--help=all"}, "--help takes no value"},
        {{"-v"}, "unexpected argument '-v'"},
        {{"run"}, "unexpected argument 'run'"},
        {{"send", "--wait-seconds", "1"}, "--wait-seconds does not apply to send"},
        {{"--log", "f"}, "--log does not apply to running"},
        {{"--speed", "1001"}, "--speed needs a whole number from 1 to 1000, not '1001'"},
        {{"--speed", "+5"}, "--speed needs a whole number from 1 to 1000, not '+5'"},
        {{"--wait-seconds", "nan"}, "--wait-seconds needs seconds from 0 to 60, not 'nan'"},
        {{"send", "--log="}, "--log needs a file"},
    };
    for (const auto& c : cases) {
        Options o;
        const cli::Parsed parsed = parse(c.args, o);
        EXPECT_FALSE(parsed.ok) << testing::PrintToString(c.args);
        EXPECT_EQ(parsed.error, c.error) << testing::PrintToString(c.args);
    }
}

TEST(OptionTable, AHelpRequestEndsTheParse)
{
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--help", "--bogus"}, {"send", "-h", "--speed", "0"}}) {
        Options o;
        const cli::Parsed parsed = parse(args, o);
        EXPECT_TRUE(parsed.ok && parsed.help) << parsed.error;
    }
    Options o;
    EXPECT_FALSE(parse({"--bogus", "--help"}, o).ok) << "what comes before it still counts";
}

TEST(OptionTable, HelpListsEachOptionInItsGroupAtTheColumn)
{
    EXPECT_EQ(cli::help_text(kCommand),
              "Usage: tool\n"
              "  --verbose     say more\n"
              "  --wait-seconds SECONDS  how long\n"
              "  --log FILE    where to\n"
              "  --help        show this text\n"
              "Lines:\n"
              "  --port PORT   a line; the options after it\n"
              "                  are its own\n"
              "  --speed N     its speed\n"
              "End.\n");
}

TEST(OptionValues, CommaListsRefuseEmptyItems)
{
    std::vector<std::string> items;
    const auto take = [&](const std::string& item) {
        items.push_back(item);
        return item != "x";
    };
    EXPECT_TRUE(cli::each_item("a,b", take));
    EXPECT_EQ(items, (std::vector<std::string>{"a", "b"}));
    for (const char* bad : {"", "a,", ",a", "a,,b", "a,x"})
        EXPECT_FALSE(cli::each_item(bad, take)) << bad;
}

}  // namespace
