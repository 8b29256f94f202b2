// The depth pre-check that keeps deeply nested request text away from the
// JSON reader. It must see brackets exactly where the reader would descend,
// and nowhere the reader would skip.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "meter/json_nesting.h"

namespace {

struct NestingCase {
    const char* name;
    std::string text;
    int limit;
    bool within;
};

TEST(JsonNesting, CountsOnlyBracketsTheReaderDescendsInto)
{
    const std::string deep(5, '[');
    const auto nested = [](int depth) {
        return std::string(static_cast<std::size_t>(depth), '[') +
               std::string(static_cast<std::size_t>(depth), ']');
    };
    const NestingCase cases[] = {
        {"empty", "", 0, true},
        {"scalar", "5", 0, true},
        {"at the limit", "[[{}]]", 3, true},
        {"one past", "[[{}]]", 2, false},
        {"siblings do not add up", "[[],[],{},[]]", 2, true},
        {"brackets in a string", "[\"[[[[\"]", 1, true},
        {"escaped quote keeps the string open", "[\"\\\"[[[[\"]", 1, true},
        {"line comment", "// [[[[\n[]", 1, true},
        {"line comment ended by CR", "// x\r" + deep, 4, false},
        {"line comment ended by CRLF", "// x\r\n" + deep, 4, false},
        {"block comment", "/* [[[[ */ []", 1, true},
        {"after a block comment", "/* */" + deep, 4, false},
        {"unterminated block comment", "/* " + deep, 0, true},
        {"unterminated string", "\"" + deep, 0, true},
        {"text ends inside a block comment on '*'", "/* [[ *", 0, true},
        {"text ends on a slash", "[ /", 1, true},
        // The module's own limit, whatever depth the linked reader gives up at.
        {"at the module's limit", nested(1000), meter::kMaxJsonNesting, true},
        {"past the module's limit", nested(1001), meter::kMaxJsonNesting, false},
    };
    for (const NestingCase& c : cases) {
        // An exact-size heap copy with no terminating NUL, so AddressSanitizer
        // reports a read past the length.
        const std::vector<char> exact(c.text.begin(), c.text.end());
        EXPECT_EQ(meter::json_nesting_within(exact.data(), exact.size(), c.limit), c.within)
            << c.name;
    }
}

TEST(JsonNesting, ReadsNoFurtherThanTheLengthGiven)
{
    const std::string text = "[[[[";
    EXPECT_TRUE(meter::json_nesting_within(text.data(), 2, 2));
    EXPECT_FALSE(meter::json_nesting_within(text.data(), 3, 2));
}

}  // namespace
