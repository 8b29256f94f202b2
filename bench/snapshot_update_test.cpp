// The snapshot's members are updated in place by one walk over the object
// when it holds exactly the members a build gives it, and by key otherwise.
// Both ways must leave the same object, so the same request 801 text.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <json/value.h>

#include "meter/kalvor_power_meter.h"
#include "bench/meter_fixture.h"
#include "devhost/runtime/reply_layout.h"

namespace {

constexpr int kSnapshotText = 801;
constexpr int kSnapshotAddress = 803;

std::vector<std::uint16_t> block_for_round(unsigned round)
{
    std::vector<std::uint16_t> words(60);
    std::uint32_t state = 2654435761u * (round + 1);
    for (auto& word : words) {
        state = state * 1664525u + 1013904223u;
        word = static_cast<std::uint16_t>(state >> 16);
    }
    return words;
}

// A round answered with `words`, stamped with a fixed time so that texts of
// rounds completed in different seconds compare whole.
void complete_round(SPModbus& device, const std::vector<std::uint16_t>& words)
{
    devhost::place_read_reply(device, words.data(), words.size());
    device.process_payload(3, 120);
    static_cast<KalvorPowerMeter&>(device).record.time_stamp = ttime{2024, 3, 5, 7, 8, 9};
}

std::string text_of(SPModbus& device)
{
    std::vector<char> out(8192);
    int count = 0;
    EXPECT_EQ(device.DeviceIoControl(kSnapshotText, nullptr, 0, out.data(),
                                     static_cast<int>(out.size()), count),
              0);
    return std::string(out.data(), static_cast<std::size_t>(count));
}

// The object itself, through the address request 803 hands out.
Json::Value& snapshot_of(SPModbus& device)
{
    Json::Value* address = nullptr;
    int count = 0;
    EXPECT_EQ(device.DeviceIoControl(kSnapshotAddress, nullptr, 0, &address, sizeof address,
                                     count),
              0);
    return *address;
}

class SnapshotUpdateTest : public testing::Test {
protected:
    bench::DiscardStdout quiet_;
};

// One device keeps its object from round to round (updated in place); the
// other has its object emptied before each rebuild (built by key). Their
// texts must agree byte for byte, round after round.
TEST_F(SnapshotUpdateTest, InPlaceAndByKeyGiveTheSameText)
{
    bench::MeterFixture kept;
    bench::MeterFixture rebuilt;
    for (unsigned round = 0; round < 50; ++round) {
        const std::vector<std::uint16_t> words = block_for_round(round);
        complete_round(kept.device(), words);
        snapshot_of(rebuilt.device()) = Json::Value();
        complete_round(rebuilt.device(), words);
        ASSERT_EQ(text_of(kept.device()), text_of(rebuilt.device())) << "round " << round;
    }
}

// A holder of the 803 address changed the object: the next rebuild sets
// every member by key, keeps what it does not own, and loses nothing.
TEST_F(SnapshotUpdateTest, ChangedObjectIsUpdatedByKey)
{
    struct Change {
        const char* what;
        std::function<void(Json::Value&)> apply;
        unsigned members_after;  // 31 of the snapshot's own, plus what the holder added
    };
    const Change changes[] = {
        {"member removed", [](Json::Value& s) { s.removeMember("电压频率"); }, 31},
        {"member added", [](Json::Value& s) { s["extra"] = 1; }, 32},
        {"member replaced, same count",
         [](Json::Value& s) {
             s.removeMember("A相电压");
             s["A相电压x"] = "held";
         },
         32},
        {"member of another type", [](Json::Value& s) { s["B相电流"] = Json::Value(Json::arrayValue); }, 31},
        {"emptied", [](Json::Value& s) { s = Json::Value(Json::objectValue); }, 31},
    };
    for (const Change& change : changes) {
        bench::MeterFixture meter;
        change.apply(snapshot_of(meter.device()));
        const std::vector<std::uint16_t> words = block_for_round(7);
        complete_round(meter.device(), words);
        text_of(meter.device());
        const Json::Value& snapshot = snapshot_of(meter.device());
        EXPECT_EQ(snapshot.size(), change.members_after) << change.what;
        EXPECT_EQ(snapshot["A相电压"].asDouble(), words[0]) << change.what;
        EXPECT_EQ(snapshot["B相电流"].asDouble(), words[7]) << change.what;
        EXPECT_EQ(snapshot["电压频率"].asDouble(), words[19]) << change.what;
        EXPECT_EQ(snapshot["C相视在功率"].asDouble(),
                  static_cast<double>(static_cast<float>(words[29]) / 1000.0f))
            << change.what;
        EXPECT_TRUE(snapshot["更新时间"].isString()) << change.what;

        // And the round after that, in place again or by key, agrees too.
        complete_round(meter.device(), block_for_round(8));
        EXPECT_EQ(snapshot_of(meter.device())["A相电压"].asDouble(), block_for_round(8)[0])
            << change.what;
    }
}

}  // namespace
