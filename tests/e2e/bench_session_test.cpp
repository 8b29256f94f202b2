// The bench session as meterhost's commands and the soak use it, over a
// metersim bus with one live and one dead meter: what a run does comes out
// as typed events that agree with one another and with the messages, and
// a write says how it went.
#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "devhost/meterhost/bench_session.h"
#include "devhost/meterhost/stop_signal.h"
#include "tests/e2e/e2e_support.h"

namespace {

using meterhost::MeterIdentity;
using meterhost::PollOutcome;

constexpr int kTimeoutMs = 100;

// Everything the session told, in order per meter.
class RecordedEvents final : public meterhost::SessionEvents {
public:
    void message(const std::string& text) override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        messages.push_back(text);
    }
    void went_offline(const MeterIdentity& meter) override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        offline[meter.slave].push_back(polls[meter.slave]);
    }
    void back_online(const MeterIdentity& meter) override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++back[meter.slave];
    }
    void round_done(const MeterIdentity& meter, const std::string& snapshot_text,
                    unsigned long rounds, unsigned long) override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        rounds_of[meter.slave].push_back(rounds);
        snapshots[meter.slave] = snapshot_text;
    }
    void polled(const MeterIdentity& meter, const PollOutcome& outcome) override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++polls[meter.slave];
        outcomes[meter.slave].push_back(outcome);
    }
    void record_published(const MeterIdentity& meter, int kind, const unsigned char*,
                          unsigned int length) override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        records[meter.slave].push_back({kind, length});
    }

    std::vector<std::string> messages;
    std::map<int, std::vector<unsigned long>> offline;  // the poll count when it came
    std::map<int, int> back;
    std::map<int, std::vector<unsigned long>> rounds_of;
    std::map<int, std::string> snapshots;
    std::map<int, unsigned long> polls;
    std::map<int, std::vector<PollOutcome>> outcomes;
    std::map<int, std::vector<std::pair<int, unsigned int>>> records;

private:
    std::mutex mutex_;
};

meterhost::SessionOptions bus_of(const std::string& port, const std::vector<int>& slaves)
{
    meterhost::SessionOptions options;
    options.module = KPM_MODULE_PATH;
    meterhost::LineSetup& line = options.lines.emplace_back();
    line.port = port;
    std::uint32_t data_id = 40;
    for (int slave : slaves) {
        Json::Value json(Json::objectValue);
        json["port"] = port;
        json["slave"] = slave;
        json["timeout_ms"] = kTimeoutMs;
        line.meters.push_back({slave, data_id++, json});
    }
    return options;
}

TEST(BenchSessionBus, RoundsOfflineAndWritesAsTypedEvents)
{
    const e2e::RunningSlave bus = e2e::start_metersim({"--slave", "1,2", "--dead", "2"});
    RecordedEvents events;
    meterhost::BenchSession session(bus_of(bus.port, {1, 2}), events);
    ASSERT_EQ(session.meters().size(), 2u);
    EXPECT_EQ(session.meters()[1].index, 1u);
    EXPECT_EQ(session.meters()[1].slave, 2);
    EXPECT_EQ(session.meters()[1].data_id, 41u);
    EXPECT_EQ(session.ports(), std::vector<std::string>{bus.port});

    meterhost::PollPolicy policy;
    policy.interval_s = 0.01;
    policy.retry_min_s = 3600;  // the dead meter is not tried again within the test
    policy.retry_max_s = 3600;
    policy.rounds = 2;
    meterhost::StopSignal stop;
    EXPECT_FALSE(session.poll(policy, stop)) << "the dead meter completed no round";

    // The live meter: a round a poll, each published once, each poll
    // answered, until the dead one was offline at the third.
    EXPECT_EQ(events.rounds_of[1], (std::vector<unsigned long>{1, 2, 3}));
    EXPECT_EQ(events.records[1].size(), 3u);
    EXPECT_EQ(events.records[1].front().first, 5156);
    EXPECT_FALSE(e2e::parse_json(events.snapshots[1]).isNull()) << events.snapshots[1];
    for (const PollOutcome& outcome : events.outcomes[1])
        EXPECT_TRUE(outcome.answered && outcome.round_done && outcome.online);

    // The dead meter: offline at its third failed poll, once, and told so in
    // words too; never a round.
    EXPECT_EQ(events.offline[2], std::vector<unsigned long>{2}) << "before its third poll ended";
    ASSERT_EQ(events.outcomes[2].size(), 3u);
    EXPECT_EQ(events.outcomes[2].back().change, meterhost::MeterHealth::Change::WentOffline);
    EXPECT_FALSE(events.outcomes[2].back().online);
    EXPECT_EQ(events.outcomes[2].back().errors, 3u);
    EXPECT_EQ(events.rounds_of.count(2), 0u);
    EXPECT_EQ(events.records.count(2), 0u);
    EXPECT_EQ(events.back.size(), 0u);
    std::size_t offline_messages = 0;
    for (const std::string& message : events.messages)
        offline_messages += message.rfind("meter 2 on " + bus.port + " is offline: ", 0) == 0;
    EXPECT_EQ(offline_messages, 1u);

    // A write to the live meter is confirmed; one to the dead meter is not
    // answered, and the line says why.
    EXPECT_EQ(session.write_registers(0, 16, {500}).answer, meterhost::WriteOutcome::kConfirmed);
    const meterhost::WriteOutcome unanswered = session.write_registers(1, 10, {1, 2});
    EXPECT_EQ(unanswered.answer, meterhost::WriteOutcome::kPending);
    EXPECT_NE(unanswered.last_failure.find("slave 2"), std::string::npos)
        << unanswered.last_failure;
}

}  // namespace
