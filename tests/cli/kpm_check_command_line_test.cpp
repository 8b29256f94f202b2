// kpm-check's command line, parsed in the test's process: the folders kept
// in the order given, the module operand, and the refusals a gateway's user
// meets.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kpmcheck/command_line.h"

namespace {

using Words = std::vector<std::string>;

TEST(KpmCheckCommandLine, TakesFoldersInOrderAndTheModule)
{
    kpmcheck::Options options;
    std::string error;
    ASSERT_TRUE(kpmcheck::parse_command_line(
        {"--lib-dir", "/opt/host/lib", "--json", "/tmp/m.so", "--lib-dir=/usr/local/lib"}, options,
        error))
        << error;
    EXPECT_TRUE(options.json);
    EXPECT_FALSE(options.help);
    EXPECT_EQ(options.lib_dirs, (Words{"/opt/host/lib", "/usr/local/lib"}));
    EXPECT_EQ(options.module, "/tmp/m.so");
}

TEST(KpmCheckCommandLine, HelpEndsTheParseEvenBeforeAFault)
{
    for (const Words& words : {Words{"--help", "--bogus"}, Words{"-h"}}) {
        kpmcheck::Options options;
        std::string error;
        EXPECT_TRUE(kpmcheck::parse_command_line(words, options, error)) << error;
        EXPECT_TRUE(options.help) << words.front();
    }
    EXPECT_NE(kpmcheck::help_text().find("  --lib-dir DIR  a folder where the host keeps"),
              std::string::npos);
}

TEST(KpmCheckCommandLine, RefusesWhatItCannotTake)
{
    const struct {
        Words words;
        const char* message;
    } refused[] = {
        {{"-x"}, "unknown option '-x'"},
        {{"--bogus"}, "unknown option '--bogus'"},
        {{"--lib-dir"}, "--lib-dir needs a value"},
        {{"--lib-dir="}, "--lib-dir needs a folder"},
        {{"--json=yes"}, "--json takes no value"},
        {{"a.so", "b.so"}, "one module at a time: a.so and b.so"},
    };
    for (const auto& c : refused) {
        kpmcheck::Options options;
        std::string error;
        EXPECT_FALSE(kpmcheck::parse_command_line(c.words, options, error)) << c.message;
        EXPECT_EQ(error, c.message);
    }
}

}  // namespace
