// meterhost --history: every stored record lands in the database, and a
// restart begins with the newest one, also after the host was killed.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>

#include "tests/e2e/e2e_support.h"
#include "devhost/history/history_store.h"

namespace {

using namespace e2e;
using namespace std::chrono_literals;

Registers filled(std::uint16_t first)
{
    Registers r{};
    for (std::size_t i = 0; i < r.size(); ++i)
        r[i] = static_cast<std::uint16_t>(first + i);
    return r;
}

// Registers 10 to 69 as a stored record carries them: after the 4-byte data
// id, 60 little-endian words.
Registers registers_of(const std::vector<std::uint8_t>& record)
{
    Registers r{};
    for (std::size_t i = 0; i < r.size() && 4 + 2 * i + 1 < record.size(); ++i)
        r[i] = static_cast<std::uint16_t>(record[4 + 2 * i] | record[5 + 2 * i] << 8);
    return r;
}

TEST(MeterhostHistory, RestartBeginsWithTheNewestStoredRecord)
{
    TempDir dir;
    const std::string db = dir.path("history.db");
    const Registers before = filled(100), after = filled(5000);
    {
        auto slave = start_metersim({"--table", dir.file("a", table_text(before))});
        const Finished run = run_command({kMeterhost, "--port", slave.port, "--history", db,
                                          "--rounds", "2", "--json", "--interval", "0.05"});
        ASSERT_EQ(run.status, 0) << run.err;
        ASSERT_EQ(lines_of(run.out).size(), 2u);
    }
    auto slave = start_metersim({"--table", dir.file("b", table_text(after))});
    const Finished run = run_command({kMeterhost, "--port", slave.port, "--history", db,
                                      "--rounds", "1", "--json", "--interval", "0.05"});
    ASSERT_EQ(run.status, 0) << run.err;
    const auto lines = lines_of(run.out);
    ASSERT_EQ(lines.size(), 2u) << "the restored record, then one polled round:\n" << run.out;
    EXPECT_TRUE(snapshot_mismatches(parse_json(lines[0]), before).empty()) << lines[0];
    EXPECT_TRUE(snapshot_mismatches(parse_json(lines[1]), after).empty()) << lines[1];
    EXPECT_NE(run.err.find("restored"), std::string::npos) << run.err;

    devhost::HistoryStore store(db);
    EXPECT_EQ(store.journal_mode(), "wal");
    const auto newest = store.newest(1);
    ASSERT_TRUE(newest);
    EXPECT_EQ(newest->bytes.size(), 131u);
    EXPECT_EQ(newest->kind, 5156);
    EXPECT_EQ(registers_of(newest->bytes), after);
    EXPECT_FALSE(store.newest(2)) << "records are kept per data id";
}

TEST(MeterhostHistory, KilledHostLosesNoReportedRecord)
{
    TempDir dir;
    const std::string db = dir.path("history.db");
    auto slave = start_metersim({});  // live values: every round differs a little
    constexpr int kRoundsSeen = 5;
    {
        ChildProcess host({kMeterhost, "--port", slave.port, "--history", db, "--json",
                           "--interval", "0.05"});
        for (int i = 0; i < kRoundsSeen; ++i)
            ASSERT_TRUE(host.read_line(10s)) << host.err();
        host.send_signal(SIGKILL);
        ASSERT_EQ(host.wait(5s), 128 + SIGKILL);
    }
    std::vector<std::uint8_t> newest_bytes;
    {
        devhost::HistoryStore store(db);
        EXPECT_GE(store.count(1), static_cast<std::size_t>(kRoundsSeen))
            << "a round is printed only after its record is stored";
        const auto newest = store.newest(1);
        ASSERT_TRUE(newest);
        newest_bytes = newest->bytes;
    }
    auto restart = run_command({kMeterhost, "--port", slave.port, "--history", db, "--json",
                                "--rounds", "1", "--interval", "0.05"});
    ASSERT_EQ(restart.status, 0) << restart.err;
    const auto lines = lines_of(restart.out);
    ASSERT_EQ(lines.size(), 2u) << restart.out;
    const auto mismatches = snapshot_mismatches(parse_json(lines[0]), registers_of(newest_bytes));
    EXPECT_TRUE(mismatches.empty()) << "the first line is the newest stored record:\n"
                                    << testing::PrintToString(mismatches);
}

}  // namespace

namespace {

// Several meters on one line: each starts from its own newest record, never
// another meter's (their live values differ, so a mix-up shows).
TEST(MeterhostHistory, EachMeterRestartsFromItsOwnRecord)
{
    TempDir dir;
    const std::string db = dir.path("history.db");
    auto slave = start_metersim({"--slave", "1,2"});
    const std::vector<std::string> host = {kMeterhost, "--port", slave.port, "--slave", "1,2",
                                           "--history", db, "--json", "--interval", "0.05"};
    auto first = host;
    first.insert(first.end(), {"--rounds", "2"});
    const Finished stored = run_command(first);
    ASSERT_EQ(stored.status, 0) << stored.err;

    Registers newest[2];
    {
        devhost::HistoryStore store(db);
        for (std::uint32_t data_id : {1u, 2u}) {
            const auto record = store.newest(data_id);
            ASSERT_TRUE(record) << "data id " << data_id;
            newest[data_id - 1] = registers_of(record->bytes);
        }
    }
    ASSERT_NE(newest[0], newest[1]) << "the two meters must serve different values";

    auto again = host;
    again.insert(again.end(), {"--rounds", "1"});
    const Finished restarted = run_command(again);
    ASSERT_EQ(restarted.status, 0) << restarted.err;
    bool seen[2] = {false, false};
    for (const std::string& line : lines_of(restarted.out)) {
        const Json::Value tagged = parse_json(line);
        const int meter = tagged["slave"].asInt();
        ASSERT_TRUE(meter == 1 || meter == 2) << line;
        if (seen[meter - 1])
            continue;  // only each meter's first line is its restored record
        seen[meter - 1] = true;
        EXPECT_TRUE(snapshot_mismatches(tagged["snapshot"], newest[meter - 1]).empty())
            << "meter " << meter << ": " << line;
    }
    EXPECT_TRUE(seen[0] && seen[1]) << restarted.out;
}

}  // namespace
