// The live snapshot of a meter loaded from the module: the exact text of
// request 801, its buffer rules, the address of request 803, and when the
// snapshot is rebuilt.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "tests/support/guarded_buffer.h"
#include "tests/support/json_text.h"
#include "tests/support/meter_requests.h"
#include "tests/support/module_fixture.h"

namespace {

using kpmtest::GuardedBuffer;
using kpmtest::IoResult;
using kpmtest::meter_of;
using kpmtest::parse_json;
using kpmtest::RegisterBlock;
using kpmtest::snapshot_text;

// Words 0..29 of a block chosen so that every quantity differs and the
// scaled ones show the single-precision rounding: 1234 gives 1.2339999675750732.
RegisterBlock known_block()
{
    const std::uint16_t quantities[30] = {65535, 201, 202, 203, 204, 205,  206, 207,   208, 1234,
                                          1000,  1,   65535, 0, 2500, 999, 123, 4567,  218, 5000,
                                          220,   221, 222,  223, 224, 225, 226, 5,     50000, 77};
    RegisterBlock block = kpmtest::block_of(0xBEEF);  // words 30..59: not interpreted
    std::memcpy(block.data(), quantities, sizeof quantities);
    return block;
}

// The text the module must give for known_block(), kept beside this test:
// the library escapes every non-ASCII character and orders the members by
// the bytes of their UTF-8 keys.
std::string known_text()
{
    std::ifstream file(KPM_TEST_DATA_DIR "/known_snapshot.json", std::ios::binary);
    EXPECT_TRUE(file) << "cannot read " KPM_TEST_DATA_DIR "/known_snapshot.json";
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

const Json::Value* snapshot_address(SPModbus& device)
{
    unsigned char out[sizeof(void*)];
    const IoResult io = kpmtest::request(device, 803, nullptr, 0, out, sizeof out);
    EXPECT_EQ(io.result, 0);
    EXPECT_EQ(io.out_count, static_cast<int>(sizeof(void*)));
    const Json::Value* address = nullptr;
    std::memcpy(&address, out, sizeof address);
    return address;
}

void set_time_stamp(SPModbus& device, ttime stamp) { meter_of(device).record.time_stamp = stamp; }

class SnapshotTest : public kpmtest::ModuleTest {
protected:
    void SetUp() override { testing::internal::CaptureStdout(); }
    void TearDown() override { testing::internal::GetCapturedStdout(); }

    SPModbus& device_ = new_device();
};

TEST_F(SnapshotTest, NullUntilTheFirstRound)
{
    EXPECT_EQ(snapshot_text(device_), "null\n");
    EXPECT_TRUE(snapshot_address(device_)->isNull());
}

// The first build of the snapshot and a later rebuild over an earlier
// record give the same text.
TEST_F(SnapshotTest, TextOfAKnownRecordByteForByte)
{
    kpmtest::complete_round(device_, known_block());
    set_time_stamp(device_, ttime{2024, 3, 5, 7, 8, 9});
    EXPECT_EQ(snapshot_text(device_), known_text());
    EXPECT_EQ(snapshot_text(device_), known_text()) << "a second request, same text";

    SPModbus& rebuilt = new_device();
    RegisterBlock earlier;
    for (std::size_t i = 0; i < earlier.size(); ++i)
        earlier[i] = static_cast<std::uint16_t>(3000 + i);
    kpmtest::complete_round(rebuilt, earlier);
    EXPECT_NE(snapshot_text(rebuilt), known_text());
    kpmtest::complete_round(rebuilt, known_block());
    set_time_stamp(rebuilt, ttime{2024, 3, 5, 7, 8, 9});
    EXPECT_EQ(snapshot_text(rebuilt), known_text());
}

TEST_F(SnapshotTest, UpdateTimeIsTheRecordStampUnpadded)
{
    struct StampCase {
        ttime stamp;
        const char* text;
    };
    const StampCase cases[] = {
        {{2024, 12, 31, 23, 59, 5}, "2024-12-31 23:59:5"},
        {{2024, 3, 5, 7, 8, 9}, "2024-3-5 7:8:9"},
        {{0, 0, 0, 0, 0, 0}, "0-0-0 0:0:0"},
        {{65535, 255, 255, 255, 255, 255}, "65535-255-255 255:255:255"},
    };
    for (const StampCase& c : cases) {
        kpmtest::complete_round(device_, known_block());
        set_time_stamp(device_, c.stamp);
        EXPECT_EQ(parse_json(snapshot_text(device_))["更新时间"].asString(), c.text);
    }

    // Without interference, the text shows the stamp the round published.
    kpmtest::complete_round(device_, known_block());
    const std::vector<std::uint8_t> published = host_.calls_named("SendSP").back().bytes;
    ttime stamp;
    std::memcpy(&stamp, published.data() + 124, sizeof stamp);
    const std::string expected = std::to_string(stamp.year) + "-" + std::to_string(stamp.month) +
                                 "-" + std::to_string(stamp.day) + " " +
                                 std::to_string(stamp.hour) + ":" +
                                 std::to_string(stamp.minute) + ":" +
                                 std::to_string(stamp.second);
    EXPECT_EQ(parse_json(snapshot_text(device_))["更新时间"].asString(), expected);
}

TEST_F(SnapshotTest, TextGoesOutOnlyWhenItFitsAndTheNeedIsAlwaysReported)
{
    kpmtest::complete_round(device_, known_block());
    const std::string text = snapshot_text(device_);
    const int length = static_cast<int>(text.size());
    ASSERT_GT(length, 100);

    GuardedBuffer exact(text.size());
    IoResult io = kpmtest::request(device_, 801, nullptr, 0, exact.data(), length);
    EXPECT_EQ(io.result, 0);
    EXPECT_EQ(io.out_count, length);
    EXPECT_EQ(exact.contents(), std::vector<std::uint8_t>(text.begin(), text.end()));
    EXPECT_TRUE(exact.guards_intact()) << "no terminating zero after the text";

    for (int out_len : {length - 1, 10, 1}) {
        GuardedBuffer small(static_cast<std::size_t>(out_len));
        io = kpmtest::request(device_, 801, nullptr, 0, small.data(), out_len);
        EXPECT_EQ(io.result, -1) << out_len;
        EXPECT_EQ(io.out_count, length) << out_len;
        EXPECT_TRUE(small.untouched()) << out_len;
    }
    io = kpmtest::request(device_, 801, nullptr, 0, nullptr, 0);
    EXPECT_EQ(io.result, -1);
    EXPECT_EQ(io.out_count, length);
}

TEST_F(SnapshotTest, AddressIsTheDevicesOwnObjectInPointerWidth)
{
    const int width = static_cast<int>(sizeof(void*));
    const Json::Value* first = snapshot_address(device_);
    EXPECT_EQ(first, &meter_of(device_).snapshot);

    kpmtest::complete_round(device_, known_block());
    GuardedBuffer out(sizeof(void*), 1);
    IoResult io = kpmtest::request(device_, 803, nullptr, 0, out.data(), width);
    EXPECT_EQ(io.result, 0);
    EXPECT_EQ(io.out_count, width);
    EXPECT_TRUE(out.guards_intact());
    const Json::Value* after_round = nullptr;
    std::memcpy(&after_round, out.data(), sizeof after_round);
    EXPECT_EQ(after_round, first) << "the same object for the device's whole life";
    EXPECT_EQ(*after_round, parse_json(snapshot_text(device_)));
    EXPECT_EQ(after_round->getMemberNames().size(), 31u);

    for (int out_len : {width - 1, 0}) {
        GuardedBuffer small(static_cast<std::size_t>(width));
        io = kpmtest::request(device_, 803, nullptr, 0, small.data(), out_len);
        EXPECT_EQ(io.result, -1) << out_len;
        EXPECT_EQ(io.out_count, width) << out_len;
        EXPECT_TRUE(small.untouched()) << out_len;
    }
}

// Registers changed behind the device's back show only once a round has
// completed: requests alone never rebuild.
TEST_F(SnapshotTest, RebuiltOncePerRoundAndOnlyAfterOne)
{
    KalvorPowerMeter& meter = meter_of(device_);
    kpmtest::complete_round(device_, kpmtest::block_of(1));
    const std::string first = snapshot_text(device_);
    store_registers(meter.record, kpmtest::block_of(2).data());
    EXPECT_EQ(snapshot_text(device_), first);
    EXPECT_EQ(snapshot_address(device_)->get("A相电压", Json::Value()).asDouble(), 1.0);

    kpmtest::complete_round(device_, kpmtest::block_of(3));
    const Json::Value* snapshot = snapshot_address(device_);
    EXPECT_EQ((*snapshot)["A相电压"].asDouble(), 3.0);
    EXPECT_EQ(snapshot->getMemberNames().size(), 31u);
    store_registers(meter.record, kpmtest::block_of(4).data());
    EXPECT_EQ(parse_json(snapshot_text(device_))["A相电压"].asDouble(), 3.0);
}

// The holder of the 803 object may change it between requests. "A" is a
// prefix of "AB相线电压" and takes its place first in the member order; the
// next rebuild still puts each quantity under its own key and leaves the
// holder's member alone.
TEST_F(SnapshotTest, RebuiltAfterTheHolderReplacedAMemberByAPrefixOfItsKey)
{
    kpmtest::complete_round(device_, kpmtest::block_of(1));
    Json::Value& held = *const_cast<Json::Value*>(snapshot_address(device_));
    held.removeMember("AB相线电压");
    held["A"] = "the holder's";

    kpmtest::complete_round(device_, kpmtest::block_of(2));
    const Json::Value& rebuilt = *snapshot_address(device_);
    EXPECT_EQ(rebuilt["AB相线电压"], Json::Value(2.0));
    EXPECT_EQ(rebuilt["A"], Json::Value("the holder's"));
}

// The time of a round has whole-second resolution; a second round within
// the same second must still reach the snapshot.
TEST_F(SnapshotTest, RebuiltAfterARoundWithinTheSameSecond)
{
    kpmtest::complete_round(device_, kpmtest::block_of(1));
    const auto first_round_time = device_.data_time;
    EXPECT_EQ(parse_json(snapshot_text(device_))["A相电压"].asDouble(), 1.0);

    kpmtest::complete_round(device_, kpmtest::block_of(2));
    device_.data_time = first_round_time;
    EXPECT_EQ(parse_json(snapshot_text(device_))["A相电压"].asDouble(), 2.0);
    EXPECT_EQ(parse_json(snapshot_text(device_))["A相有功功率"].asDouble(),
              static_cast<double>(2.0f / 1000.0f));
}

// A host may ask for the snapshot from inside any operation a round calls;
// the round has already made its record visible and holds no lock.
TEST_F(SnapshotTest, RequestFromInsideTheRoundsHostCalls)
{
    std::vector<std::string> seen;
    host_.on_call = [&](const devhost::HostCall& call) {
        if (call.op == "modbus_read_registers" || call.op == "SMDSPDevice::RefreshStatus")
            return;
        std::mutex& lock = meter_of(device_).snapshot_mutex;
        if (!lock.try_lock()) {
            ADD_FAILURE() << call.op << " called with the snapshot lock held";
            return;
        }
        lock.unlock();
        seen.push_back(call.op + " " +
                       parse_json(snapshot_text(device_))["A相电压"].toStyledString());
    };
    kpmtest::complete_round(device_, kpmtest::block_of(6));
    const std::vector<std::string> expected = {"SendSP 6.0\n", "Reset 6.0\n",
                                               "DoBatchCheckThreshold 6.0\n",
                                               "SaveDeviceHistory 6.0\n"};
    EXPECT_EQ(seen, expected);
}

TEST_F(SnapshotTest, WordsPastTheQuantitiesDoNotMatter)
{
    RegisterBlock other = known_block();
    for (std::size_t i = 30; i < other.size(); ++i)
        other[i] = static_cast<std::uint16_t>(i);
    kpmtest::complete_round(device_, known_block());
    set_time_stamp(device_, ttime{2024, 3, 5, 7, 8, 9});
    const std::string text = snapshot_text(device_);
    kpmtest::complete_round(device_, other);
    set_time_stamp(device_, ttime{2024, 3, 5, 7, 8, 9});
    EXPECT_EQ(snapshot_text(device_), text);
}

}  // namespace
