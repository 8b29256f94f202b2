// Control requests of a meter loaded from the module: register writes and
// their confirmation by the meter's reply, the 310 and 320 requests, and the
// write-outcome query.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/guarded_buffer.h"
#include "tests/support/meter_requests.h"
#include "tests/support/module_fixture.h"

namespace {

using kpmtest::IoResult;
using kpmtest::meter_of;
using kpmtest::write_outcome;

class WriteRequestTest : public kpmtest::ModuleTest {
protected:
    SPModbus& device_ = new_device();
};

TEST_F(WriteRequestTest, SingleRegisterWriteEndToEnd)
{
    const IoResult io = kpmtest::request_with_words(device_, 206, {16, 500});
    EXPECT_EQ(io.result, 0);
    EXPECT_EQ(io.out_count, -12345) << "a write produces no output";
    EXPECT_EQ(host_.call_names(),
              (std::vector<std::string>{"OpenPort", "modbus_write_register"}));
    EXPECT_EQ(host_.calls_named("modbus_write_register")[0].args,
              (std::vector<std::int64_t>{16, 500}));
    EXPECT_EQ(device_.tab, 206);
    EXPECT_EQ(meter_of(device_).write_expect, 500);
    EXPECT_EQ(write_outcome(device_), -1);

    devhost::place_write_single_reply(device_, 500);
    EXPECT_EQ(device_.process_payload(0, 0), 0);
    EXPECT_EQ(write_outcome(device_), 1);

    kpmtest::request_with_words(device_, 206, {65535, 65535});
    EXPECT_EQ(host_.calls_named("modbus_write_register")[1].args,
              (std::vector<std::int64_t>{65535, 65535}));
    EXPECT_EQ(write_outcome(device_), -1) << "a new write clears the outcome";
    devhost::place_write_single_reply(device_, 65534);
    EXPECT_EQ(device_.process_payload(0, 0), 0);
    EXPECT_EQ(write_outcome(device_), 3);
    EXPECT_EQ(host_.calls_named("Reset").size(), 2u);
}

// Odd length, odd alignment: four whole words and a spare byte write three
// registers starting at the address in word 0.
TEST_F(WriteRequestTest, MultipleRegisterWriteEndToEnd)
{
    kpmtest::GuardedBuffer in(9, 1);
    const std::uint16_t words[4] = {7, 100, 200, 65535};
    std::memcpy(in.data(), words, sizeof words);
    in.data()[8] = 0x55;

    EXPECT_EQ(kpmtest::request(device_, 210, in.data(), in.length(), nullptr, 0).result, 0);
    EXPECT_EQ(host_.call_names(),
              (std::vector<std::string>{"OpenPort", "modbus_write_registers"}));
    const auto write = host_.calls_named("modbus_write_registers")[0];
    EXPECT_EQ(write.args, (std::vector<std::int64_t>{7, 3}));
    EXPECT_EQ(write.words, (std::vector<std::uint16_t>{100, 200, 65535}));
    EXPECT_EQ(device_.tab, 210);
    EXPECT_EQ(meter_of(device_).write_expect, 3);
    EXPECT_EQ(write_outcome(device_), -1);
    EXPECT_TRUE(in.guards_intact());

    devhost::place_write_multiple_reply(device_, 3);
    EXPECT_EQ(device_.process_payload(0, 0), 0);
    EXPECT_EQ(write_outcome(device_), 1);
}

TEST_F(WriteRequestTest, MultipleRegisterWriteOfNoRegistersIsPassedOn)
{
    for (int in_len : {2, 3}) {
        host_.clear();
        kpmtest::GuardedBuffer in(3, 1);
        const std::uint16_t address = 9;
        std::memcpy(in.data(), &address, sizeof address);
        EXPECT_EQ(kpmtest::request(device_, 210, in.data(), in_len, nullptr, 0).result, 0)
            << in_len;
        const auto writes = host_.calls_named("modbus_write_registers");
        ASSERT_EQ(writes.size(), 1u) << in_len;
        EXPECT_EQ(writes[0].args, (std::vector<std::int64_t>{9, 0})) << in_len;
        EXPECT_TRUE(writes[0].words.empty()) << in_len;
        EXPECT_EQ(meter_of(device_).write_expect, 0) << in_len;
    }
}

struct ReplyCase {
    SPModbus::tab_type tab;
    std::int32_t expect;
    std::uint16_t word0;
    std::uint16_t word1;
    std::int32_t outcome;
};

// Reply words are unsigned and compared with the signed expectation as
// 32-bit integers: 0xFFFF is 65535, never -1.
TEST_F(WriteRequestTest, ReplyConfirmsOnlyTheExpectedWords)
{
    const ReplyCase cases[] = {
        {206, 500, 500, 0, 1},   {206, 500, 501, 0, 3},     {206, 500, 0, 500, 3},
        {206, -1, 65535, 0, 3},  {206, 65535, 65535, 0, 1}, {210, 4, 16, 4, 1},
        {210, 4, 17, 4, 3},      {210, 4, 16, 5, 3},        {210, 4, 4, 16, 3},
        {210, -1, 16, 65535, 3}, {210, 0, 16, 0, 1},
    };
    for (const ReplyCase& c : cases) {
        host_.clear();
        device_.tab = c.tab;
        meter_of(device_).write_expect = c.expect;
        meter_of(device_).write_result = -1;
        device_.reply_words[0] = c.word0;
        device_.reply_words[1] = c.word1;
        EXPECT_EQ(device_.process_payload(c.tab, 4), 0);
        EXPECT_EQ(write_outcome(device_), c.outcome)
            << c.tab << " expecting " << c.expect << ", got " << c.word0 << "," << c.word1;
        EXPECT_EQ(host_.call_names(), std::vector<std::string>{"Reset"});
        EXPECT_EQ(device_.tab, c.tab);
    }
}

TEST_F(WriteRequestTest, RequestsWithoutTransactionClearTheOutcome)
{
    for (int code : {310, 320}) {
        host_.clear();
        meter_of(device_).write_result = 1;
        const IoResult io = kpmtest::request_with_text(device_, code, "{}");
        EXPECT_EQ(io.result, 0) << code;
        EXPECT_EQ(io.out_count, -12345) << code;
        EXPECT_EQ(device_.tab, code);
        EXPECT_EQ(host_.call_names(), std::vector<std::string>{"OpenPort"}) << code;

        devhost::place_write_single_reply(device_, 500);
        EXPECT_EQ(device_.process_payload(code, 2), 1) << code;
        EXPECT_EQ(write_outcome(device_), -1) << code;
    }
}

struct TextCase {
    const char* name;
    std::string text;
    int in_len;  // -1: the whole text
    int result;
};

TEST_F(WriteRequestTest, SignalRequestTakesAnyTextTheLenientReaderParses)
{
    const std::string depth_1000 = std::string(1000, '[') + std::string(1000, ']');
    const std::string depth_1001 = std::string(1001, '[') + std::string(1001, ']');
    const TextCase cases[] = {
        {"object", "{\"signal_id\": \"A1\"}", -1, 0},
        {"empty object", "{}", -1, 0},
        {"null", "null", -1, 0},
        {"comments", "/* lead */ {\"signal_id\": 1 // tail\n}", -1, 0},
        {"array root", "[1, 2]", -1, 0},
        {"number root", "5", -1, 0},
        {"string root", "\"signal_id\"", -1, 0},
        {"at the nesting limit", depth_1000, -1, 0},
        {"empty", "", -1, -1},
        {"broken", "{\"signal_id\": ", -1, -1},
        {"not JSON", "signal_id=1", -1, -1},
        {"cut short by in_len", "{\"signal_id\": 1}", 14, -1},
        {"one past the nesting limit", depth_1001, -1, -1},
        {"deep after a comment ended by CR", "// x\r" + depth_1001, -1, -1},
        {"1 MB of [", std::string(1 << 20, '['), -1, -1},
        {"1 MB of {", std::string(1 << 20, '{'), -1, -1},
    };
    for (const TextCase& c : cases) {
        host_.clear();
        meter_of(device_).write_result = 3;
        const int in_len = c.in_len < 0 ? static_cast<int>(c.text.size()) : c.in_len;
        EXPECT_EQ(kpmtest::request(device_, 310, c.text.data(), in_len, nullptr, 0).result,
                  c.result)
            << c.name;
        EXPECT_EQ(device_.tab, 310) << c.name;
        EXPECT_EQ(meter_of(device_).write_result, -1) << c.name;
        EXPECT_EQ(host_.call_names(), std::vector<std::string>{"OpenPort"}) << c.name;
    }
}

TEST_F(WriteRequestTest, EveryOtherCodeQueriesTheOutcome)
{
    kpmtest::request_with_words(device_, 206, {1, 2});
    devhost::place_write_single_reply(device_, 2);
    device_.process_payload(0, 0);
    host_.clear();

    for (int code : {0, 802, 1000, -1, 11, 205, 207, 804, INT_MAX, INT_MIN}) {
        kpmtest::GuardedBuffer exact(4, 1);
        IoResult io = kpmtest::request(device_, code, nullptr, 0, exact.data(), 4);
        EXPECT_EQ(io.result, 0) << code;
        EXPECT_EQ(io.out_count, 4) << code;
        std::int32_t outcome = 0;
        std::memcpy(&outcome, exact.contents().data(), sizeof outcome);
        EXPECT_EQ(outcome, 1) << code;
        EXPECT_TRUE(exact.guards_intact()) << code;

        kpmtest::GuardedBuffer roomy(32);
        io = kpmtest::request(device_, code, nullptr, 0, roomy.data(), roomy.length());
        EXPECT_EQ(io.out_count, 4) << code;
        const auto written = roomy.contents();
        EXPECT_EQ(std::vector<std::uint8_t>(written.begin() + 4, written.end()),
                  std::vector<std::uint8_t>(28, kpmtest::GuardedBuffer::kGuard))
            << code;

        kpmtest::GuardedBuffer small(3);
        io = kpmtest::request(device_, code, nullptr, 0, small.data(), 3);
        EXPECT_EQ(io.result, 0) << code;
        EXPECT_EQ(io.out_count, 0) << code;
        EXPECT_TRUE(small.untouched()) << code;
    }
    EXPECT_TRUE(host_.calls().empty());
    EXPECT_EQ(device_.tab, 206);
}

}  // namespace
