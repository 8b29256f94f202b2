// One device driven as a host with several threads drives it: rounds (block
// read replies, and now and then a cached record) on one thread, while two
// threads request the snapshot text (801), one requests the snapshot object
// (803) and reads it in place, and one asks for values. Round k delivers a
// block whose every word is k, so a snapshot made from one consistent record
// has all 30 quantities derived from a single k.
//
// Every access the module guards with its lock meets an access of another
// thread here with nothing else ordering the two, so ThreadSanitizer reports
// any lock removed or held too briefly; natively, a torn or mixed round shows
// in the checks.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/cout_capture.h"
#include "tests/support/json_text.h"
#include "meter/quantity_table.h"
#include "tests/support/meter_requests.h"
#include "tests/support/module_fixture.h"

namespace {

constexpr int kRounds = 400;
constexpr int kCachedRoundEvery = 5;  // every fifth round comes from LoadFromCache
constexpr int kTextThreads = 2;
constexpr int kRequestsPerRound = 3;  // by each reader, at most

const std::string kNotReady = "数据未就绪";
const std::string kNotServed = "不支持变量";

// Empty when the snapshot is one round's record (or the null of no round
// yet), otherwise what is wrong with it.
std::string inconsistency(const Json::Value& snapshot)
{
    if (snapshot.isNull())
        return {};
    if (!snapshot.isObject())
        return "not a JSON object";
    if (snapshot.size() != 31)
        return "member count " + std::to_string(snapshot.size());
    const double k = snapshot[kQuantities[0].key].asDouble();
    if (k < 1 || k > kRounds)
        return "no such round";
    for (const Quantity& quantity : kQuantities) {
        const double expected = quantity_value(quantity, static_cast<std::uint16_t>(k));
        if (snapshot[quantity.key].asDouble() != expected)
            return std::string(quantity.key) + " is not from round " + std::to_string(k);
    }
    return {};
}

// The 131-byte record a host keeps in its cache, every register word k.
std::array<unsigned char, sizeof(KalvorPowerMeter_Data_t)> cached_record(std::uint16_t k)
{
    KalvorPowerMeter_Data_t record{};
    const kpmtest::RegisterBlock block = kpmtest::block_of(k);
    store_registers(record, block.data());
    std::array<unsigned char, sizeof record> bytes;
    std::memcpy(bytes.data(), &record, sizeof record);
    return bytes;
}

// What one thread saw: how many requests it made, and the first thing wrong.
struct Report {
    std::atomic<int> requests{0};  // relaxed: progress only, orders nothing
    int wrong = 0;
    std::string first_wrong;
    int round = 0;       // the last round the reader saw completed
    int in_round = 0;    // requests made since

    void count(const std::string& what_is_wrong)
    {
        requests.fetch_add(1, std::memory_order_relaxed);
        if (!what_is_wrong.empty() && wrong++ == 0)
            first_wrong = what_is_wrong;
    }
};

class SnapshotThreads : public kpmtest::ModuleTest {
protected:
    // 801 texts. Texts may be made at the same time as each other, but not
    // while the object thread reads the object in place.
    void read_texts(Report& report)
    {
        std::vector<char> out(8192);
        while (keep_reading(report)) {
            int out_count = 0;
            int result;
            {
                std::shared_lock<std::shared_mutex> gate(object_gate_);
                result = device_.DeviceIoControl(kpmtest::kSnapshotText, nullptr, 0, out.data(),
                                                 static_cast<int>(out.size()), out_count);
            }
            if (result != 0) {
                report.count("801 failed");
                continue;
            }
            const std::string text(out.data(), static_cast<std::size_t>(out_count));
            const std::string wrong = inconsistency(kpmtest::parse_json(text));
            report.count(wrong.empty() ? wrong : wrong + ": " + text);
        }
    }

    // 803, then the object read through the address, as its holder may: while
    // no other snapshot request on the device can run.
    void read_objects(Report& report)
    {
        const Json::Value* first = nullptr;
        while (keep_reading(report)) {
            std::lock_guard<std::shared_mutex> gate(object_gate_);
            const Json::Value* object = nullptr;
            const kpmtest::IoResult io = kpmtest::request(
                device_, kpmtest::kSnapshotAddress, nullptr, 0, &object, sizeof object);
            if (io.result != 0 || object == nullptr) {
                report.count("803 failed");
                continue;
            }
            if (first == nullptr)
                first = object;
            const std::string wrong = object != first ? "the address moved" : inconsistency(*object);
            report.count(wrong);
        }
    }

    // Before the first round the data is not ready; from then on it is fresh
    // and only not served. Anything else (a torn time reads as stale or as
    // not ready again) is wrong.
    void query_values(Report& report)
    {
        bool ready_seen = false;
        while (keep_reading(report)) {
            std::string outcome = "returned a value";
            try {
                device_.Get_Value(0, kQuantities[0].key);
            } catch (const std::out_of_range& failure) {
                outcome = failure.what();
            }
            const bool expected = outcome == kNotServed || (outcome == kNotReady && !ready_seen);
            ready_seen = ready_seen || outcome == kNotServed;
            report.count(expected ? std::string() : outcome);
        }
    }

    // Each round waits until every reader has made a request since the round
    // before, and a reader makes only a few requests per round, so the
    // readers run across all rounds whatever the scheduler does and leave
    // the rounds their share of the processors. The pacing uses relaxed
    // counters on purpose: it must not order the device's memory accesses,
    // or it would hide from ThreadSanitizer an access made without the lock.
    bool keep_reading(Report& report)
    {
        for (;;) {
            if (done_.load())
                return false;
            const int round = rounds_.load(std::memory_order_relaxed);
            if (round != report.round) {
                report.round = round;
                report.in_round = 0;
            }
            if (report.in_round < kRequestsPerRound) {
                ++report.in_round;
                return true;
            }
            std::this_thread::yield();
        }
    }

    void drive_rounds(Report* readers, int reader_count)
    {
        for (int k = 1; k <= kRounds; ++k) {
            std::vector<int> before;
            for (int i = 0; i < reader_count; ++i)
                before.push_back(readers[i].requests.load(std::memory_order_relaxed));
            if (k % kCachedRoundEvery == 0) {
                const auto record = cached_record(static_cast<std::uint16_t>(k));
                EXPECT_EQ(device_.LoadFromCache(record.data(), static_cast<int>(record.size())), 1);
            } else {
                kpmtest::complete_round(device_, kpmtest::block_of(static_cast<std::uint16_t>(k)));
            }
            rounds_.store(k, std::memory_order_relaxed);
            for (int i = 0; i < reader_count; ++i)
                while (readers[i].requests.load(std::memory_order_relaxed) == before[i])
                    std::this_thread::yield();
        }
        done_ = true;
    }

    SPModbus& device_ = new_device();
    std::atomic<bool> done_{false};
    std::atomic<int> rounds_{0};  // rounds completed; relaxed
    std::shared_mutex object_gate_;
};

TEST_F(SnapshotThreads, EverySnapshotAndValueIsOneRoundsWhileRoundsComplete)
{
    kpmtest::CoutCapture quiet;  // one "rvSize is" line per round, all from one thread

    Report reports[kTextThreads + 2];
    std::vector<std::thread> readers;
    for (int i = 0; i < kTextThreads; ++i)
        readers.emplace_back([this, &reports, i] { read_texts(reports[i]); });
    readers.emplace_back([this, &reports] { read_objects(reports[kTextThreads]); });
    readers.emplace_back([this, &reports] { query_values(reports[kTextThreads + 1]); });
    std::thread rounds([this, &reports] { drive_rounds(reports, kTextThreads + 2); });
    rounds.join();
    for (std::thread& reader : readers)
        reader.join();

    for (const Report& report : reports)
        EXPECT_EQ(report.wrong, 0) << report.first_wrong;
    const std::string last = kpmtest::snapshot_text(device_);
    EXPECT_EQ(inconsistency(kpmtest::parse_json(last)), "");
    EXPECT_NE(last.find(":" + std::to_string(kRounds) + ".0,"), std::string::npos) << last;
}

}  // namespace
