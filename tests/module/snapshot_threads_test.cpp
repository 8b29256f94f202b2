// Snapshot requests on two threads while a third completes rounds. Round k
// delivers a block whose every word is k, so a text made from one consistent
// record has all 30 quantities derived from a single k.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "cout_capture.h"
#include "json_text.h"
#include "meter/quantity_table.h"
#include "meter_requests.h"
#include "module_loader.h"

namespace {

constexpr int kRounds = 400;

struct ReaderReport {
    int texts = 0;
    int inconsistent = 0;
    std::string first_inconsistent;
};

// Empty when the text is one round's record (or the null of no round yet),
// otherwise what is wrong with it.
std::string inconsistency(const std::string& text)
{
    if (text == "null\n")
        return {};
    const Json::Value snapshot = kpmtest::parse_json(text);
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

ReaderReport read_until(SPModbus& device, const std::atomic<bool>& done,
                        std::atomic<int>& texts_read)
{
    ReaderReport report;
    std::vector<char> out(8192);
    do {
        int out_count = 0;
        const int result = device.DeviceIoControl(801, nullptr, 0, out.data(),
                                                  static_cast<int>(out.size()), out_count);
        ++report.texts;
        texts_read.fetch_add(1, std::memory_order_relaxed);
        const std::string text(out.data(), result == 0 ? static_cast<std::size_t>(out_count) : 0);
        const std::string wrong = result == 0 ? inconsistency(text) : "request failed";
        if (!wrong.empty() && report.inconsistent++ == 0)
            report.first_inconsistent = wrong + ": " + text;
    } while (!done.load());
    return report;
}

TEST(SnapshotThreads, EveryTextIsOneRoundsRecord)
{
    devhost::LoadedModule module(KPM_MODULE_PATH);
    const auto owner = module.create_device();
    SPModbus& device = *owner;
    kpmtest::CoutCapture quiet;  // one "rvSize is" line per round

    std::atomic<bool> done{false};
    std::atomic<int> texts_read{0};
    ReaderReport reports[2];
    std::thread readers[2];
    for (int i = 0; i < 2; ++i)
        readers[i] = std::thread([&, i] { reports[i] = read_until(device, done, texts_read); });
    // Each round waits for texts to be read, so the readers run across all
    // rounds whatever the scheduler does. The count is relaxed on purpose: it
    // must not order the device's memory accesses, or it would hide from
    // ThreadSanitizer a round that writes the record without the lock.
    std::thread poller([&] {
        for (int k = 1; k <= kRounds; ++k) {
            const int read_before = texts_read.load(std::memory_order_relaxed);
            kpmtest::complete_round(device, kpmtest::block_of(static_cast<std::uint16_t>(k)));
            while (texts_read.load(std::memory_order_relaxed) < read_before + 2)
                std::this_thread::yield();
        }
        done = true;
    });
    poller.join();
    for (std::thread& reader : readers)
        reader.join();

    for (const ReaderReport& report : reports) {
        EXPECT_GT(report.texts, 0);
        EXPECT_EQ(report.inconsistent, 0) << report.first_inconsistent;
    }
    const std::string last = kpmtest::snapshot_text(device);
    EXPECT_EQ(inconsistency(last), "");
    EXPECT_NE(last.find(":" + std::to_string(kRounds) + ".0,"), std::string::npos) << last;
}

}  // namespace
