// The bench session as meterhost's commands and the soak use it, over a
// metersim bus with one live and one dead meter: what a run does comes out
// as typed events that agree with one another and with the messages, and
// a write says how it went; a line that goes and comes back is told as
// events, and each poll as its meter answered it.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <stdlib.h>
#include <unistd.h>

#include "devhost/meterhost/bench_session.h"
#include "devhost/meterhost/stop_signal.h"
#include "metersim/simulator.h"
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
        unsigned long count = 0;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            count = ++polls[meter.slave];
            outcomes[meter.slave].push_back(outcome);
        }
        if (after_poll)
            after_poll(count);
    }
    void line_lost(const std::string& port) override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        line_changes.push_back("lost " + port);
    }
    void line_back(const std::string& port) override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        line_changes.push_back("back " + port);
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
    std::vector<std::string> line_changes;
    // Called on the line's thread after each poll, with the meter's count
    // of polls so far.
    std::function<void(unsigned long)> after_poll;

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

std::unique_ptr<metersim::Simulator> simulator_at(const std::string& link)
{
    metersim::SimulatorOptions options;
    options.link = link;
    auto simulator = std::make_unique<metersim::Simulator>(options);
    simulator->open();
    simulator->start();
    return simulator;
}

TEST(BenchSessionBus, ALineThatGoesAndComesBackIsToldAsEventsAndEachPollAsItWent)
{
    char directory[] = "/tmp/bench-session-XXXXXX";
    ASSERT_NE(mkdtemp(directory), nullptr);
    const std::string link = std::string(directory) + "/meter";
    auto simulator = simulator_at(link);
    RecordedEvents events;
    meterhost::BenchSession session(bus_of(link, {1}), events);

    // The pseudo-terminal goes after the first poll and is back after the
    // second; the third poll is the last.
    meterhost::StopSignal stop;
    events.after_poll = [&](unsigned long polls) {
        if (polls == 1)
            simulator.reset();
        else if (polls == 2)
            simulator = simulator_at(link);
        else
            stop.request();
    };
    meterhost::PollPolicy policy;
    policy.interval_s = 0.01;
    session.poll(policy, stop);

    EXPECT_EQ(events.line_changes, (std::vector<std::string>{"lost " + link, "back " + link}));
    ASSERT_EQ(events.outcomes[1].size(), 3u);
    std::vector<bool> answered;
    for (const PollOutcome& outcome : events.outcomes[1])
        answered.push_back(outcome.answered);
    EXPECT_EQ(answered, (std::vector<bool>{true, false, true}));
    EXPECT_EQ(events.outcomes[1].back().errors, 1u);
    EXPECT_EQ(events.rounds_of[1], (std::vector<unsigned long>{1, 2}));
    simulator.reset();
    ::rmdir(directory);
}

}  // namespace
