// The small parts of the bench tools whose mistakes would not show as a
// failed run: option values, table and fault parsing, and history kept per
// device.
#include <gtest/gtest.h>

#include "devhost/meterhost/command_line.h"
#include "tests/e2e/e2e_support.h"
#include "metersim/faults.h"
#include "devhost/history/history_store.h"
#include "devhost/meterhost/host_config.h"
#include "devhost/meterhost/meter_board.h"
#include "devhost/meterhost/meter_health.h"
#include "metersim/register_bank.h"
#include "devhost/meterhost/snapshot_view.h"

namespace {

using meterhost::Mode;
using meterhost::parse_command_line;

TEST(CommandLine, OptionValuesAreStoredInBothSpellings)
{
    const auto parsed = parse_command_line({"--port=/dev/ttyUSB0", "--baud", "19200", "--parity=E",
                                            "--slave", "0x10", "--timeout-ms", "250", "--rounds",
                                            "3", "--interval=0.25", "--data-id", "4294967295",
                                            "--json", "--history", "h.db", "--config", "c.json",
                                            "--module", "m.so"});
    ASSERT_TRUE(parsed.ok) << parsed.error;
    const auto& o = parsed.options;
    EXPECT_EQ(o.mode, Mode::Poll);
    ASSERT_EQ(o.lines.size(), 1u);
    EXPECT_EQ(o.lines[0].port, "/dev/ttyUSB0");
    EXPECT_EQ(o.lines[0].baud, 19200);
    EXPECT_EQ(o.lines[0].parity, 'E');
    EXPECT_EQ(o.lines[0].slaves, std::vector<int>{16});
    EXPECT_EQ(o.lines[0].timeout_ms, 250);
    EXPECT_EQ(o.rounds, 3u);
    EXPECT_DOUBLE_EQ(o.interval_s, 0.25);
    EXPECT_EQ(o.data_id, 4294967295u);
    EXPECT_TRUE(o.json);
    EXPECT_EQ(o.history_file, "h.db");
    EXPECT_EQ(o.config_file, "c.json");
    EXPECT_EQ(o.module, "m.so");
}

TEST(CommandLine, DefaultsLeaveTheLineToTheConfiguration)
{
    const auto parsed = parse_command_line({});
    ASSERT_TRUE(parsed.ok);
    const auto& defaults = parsed.options.defaults;
    EXPECT_TRUE(parsed.options.lines.empty());
    EXPECT_FALSE(defaults.baud || defaults.parity || !defaults.slaves.empty() ||
                 defaults.timeout_ms || parsed.options.rounds);
    EXPECT_DOUBLE_EQ(parsed.options.interval_s, 1.0);
    EXPECT_EQ(parsed.options.data_id, 1u);
}

TEST(CommandLine, LineOptionsBelongToThePortBeforeThemOrAreEveryLinesDefaults)
{
    const auto parsed = parse_command_line({"--slave", "1-3", "--baud", "19200", "--port", "A",
                                            "--slave", "5,2", "--port", "B", "--parity", "E"});
    ASSERT_TRUE(parsed.ok) << parsed.error;
    const auto& o = parsed.options;
    EXPECT_EQ(o.defaults.slaves, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(o.defaults.baud, 19200);
    ASSERT_EQ(o.lines.size(), 2u);
    EXPECT_EQ(o.lines[0].slaves, (std::vector<int>{2, 5}));
    EXPECT_FALSE(o.lines[0].parity);
    EXPECT_EQ(o.lines[1].port, "B");
    EXPECT_EQ(o.lines[1].parity, 'E');
    EXPECT_TRUE(o.lines[1].slaves.empty());

    for (const std::vector<std::string>& bad :
         {std::vector<std::string>{"--port", "A", "--port", "A"},
          {"write", "--port", "A", "--port", "B", "1", "2"},
          {"write", "--slave", "1,2", "1", "2"},
          {"--retry-min", "5", "--retry-max", "4"},
          {"--slave", "0"},
          {"--slave", "1,248"}})
        EXPECT_FALSE(parse_command_line(bad).ok) << testing::PrintToString(bad);
}

meterhost::HostConfig host_config(const std::vector<std::string>& args,
                                  const std::string& file_text = "")
{
    e2e::TempDir dir;
    std::vector<std::string> all = args;
    if (!file_text.empty()) {
        all.push_back("--config");
        all.push_back(dir.file("config.json", file_text));
    }
    const auto parsed = parse_command_line(all);
    EXPECT_TRUE(parsed.ok) << parsed.error;
    return meterhost::build_host_config(parsed.options);
}

TEST(HostConfig, MetersAreNumberedOnFromTheDataIdLineByLineByAddress)
{
    const auto config = host_config({"--data-id", "7", "--timeout-ms", "90", "--port", "A",
                                     "--slave", "4,2", "--port", "B", "--timeout-ms", "80"},
                                    R"({"slave": 9, "appSetting": {"b_mode": "1"}})");
    ASSERT_TRUE(config.ok) << config.error;
    ASSERT_EQ(config.lines.size(), 2u);
    ASSERT_EQ(config.lines[0].meters.size(), 2u);
    const auto& first = config.lines[0].meters[0];
    EXPECT_EQ(first.slave, 2);
    EXPECT_EQ(first.data_id, 7u);
    EXPECT_EQ(first.json["port"], "A");
    EXPECT_EQ(first.json["timeout_ms"], 90);
    EXPECT_EQ(first.json["appSetting"]["b_mode"], "1") << "the device's own keys reach every meter";
    EXPECT_EQ(config.lines[0].meters[1].data_id, 8u);
    const auto& last = config.lines[1].meters.at(0);
    EXPECT_EQ(last.slave, 9) << "the file's address where the line names none";
    EXPECT_EQ(last.data_id, 9u);
    EXPECT_EQ(last.json["timeout_ms"], 80);
}

TEST(HostConfig, FileLinesAndTheirMistakes)
{
    const auto config = host_config(
        {"--baud", "19200"},
        R"({"lines": [{"port": "A", "slave": [3, 1]}, {"port": "B", "parity": "E"}]})");
    ASSERT_TRUE(config.ok) << config.error;
    ASSERT_EQ(config.lines.size(), 2u);
    EXPECT_EQ(config.lines[0].meters.size(), 2u);
    EXPECT_EQ(config.lines[0].baud, 19200);
    EXPECT_EQ(config.lines[1].parity, 'E');
    EXPECT_TRUE(host_config({}).simulated());

    const std::pair<const char*, const char*> bad[] = {
        {R"({"port": "A", "lines": [{"port": "B"}]})", "either"},
        {R"({"lines": []})", "non-empty"},
        {R"({"lines": [{"port": "A"}, {"port": "A"}]})", "two lines"},
        {R"({"lines": [{"slave": 1}]})", "needs a \"port\""},
        {R"({"lines": [{"port": "A", "appSetting": 1}]})", "\"appSetting\""},
        {R"({"port": "A", "slave": [1, 1]})", "twice"},
        {R"({"port": "A", "slave": []})", "at least one"},
        {R"({"port": "A", "slave": [1, 300]})", "\"slave\""},
    };
    for (const auto& [text, message] : bad) {
        const auto rejected = host_config({}, text);
        EXPECT_FALSE(rejected.ok) << text;
        EXPECT_NE(rejected.error.find(message), std::string::npos) << rejected.error;
    }
    EXPECT_FALSE(host_config({"write", "--slave", "1", "1", "2"},
                             R"({"lines": [{"port": "A"}, {"port": "B"}]})")
                     .ok);
}

TEST(MeterHealth, OfflineAfterThreeFailuresRetriedLessOftenBackAtOnce)
{
    using namespace std::chrono_literals;
    using Change = meterhost::MeterHealth::Change;
    meterhost::MeterHealth health(2s, 5s);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(health.record(false, t0), Change::None);
    EXPECT_EQ(health.record(true, t0), Change::None) << "an answer starts the count afresh";
    EXPECT_EQ(health.record(false, t0), Change::None);
    EXPECT_EQ(health.record(false, t0), Change::None);
    EXPECT_TRUE(health.due(t0));
    EXPECT_EQ(health.record(false, t0), Change::WentOffline);
    EXPECT_FALSE(health.due(t0 + 1999ms));
    EXPECT_TRUE(health.due(t0 + 2s));
    EXPECT_EQ(health.record(false, t0 + 2s), Change::None);
    EXPECT_FALSE(health.due(t0 + 5999ms)) << "the wait doubled";
    EXPECT_EQ(health.record(false, t0 + 6s), Change::None);
    EXPECT_EQ(health.retry_wait(), 5s) << "up to the longest";
    EXPECT_EQ(health.record(true, t0 + 11s), Change::CameBack);
    EXPECT_TRUE(health.due(t0 + 11s));
    EXPECT_EQ(health.retry_wait(), 2s);
}

TEST(JsonLine, TagsWrapTheModuleTextUnchanged)
{
    using meterhost::JsonTag;
    const std::string text = "{\"A相电压\":2300.0}\n";
    EXPECT_EQ(meterhost::json_line(JsonTag::None, "/dev/x", 3, text), text);
    EXPECT_EQ(meterhost::json_line(JsonTag::Slave, "/dev/x", 3, text),
              "{\"slave\":3,\"snapshot\":{\"A相电压\":2300.0}}\n");
    EXPECT_EQ(meterhost::json_line(JsonTag::PortAndSlave, "/dev/\"a\\b\x01", 3, text),
              "{\"port\":\"/dev/\\\"a\\\\b\\u0001\",\"slave\":3,\"snapshot\":{\"A相电压\":2300.0}}\n");
}

TEST(CommandLine, WriteTakesOptionsAnywhereAndValuesAtTheBounds)
{
    const auto parsed = parse_command_line({"write", "0", "--port", "/dev/x", "0xFFFF", "0"});
    ASSERT_TRUE(parsed.ok) << parsed.error;
    EXPECT_EQ(parsed.options.mode, Mode::Write);
    EXPECT_EQ(parsed.options.address, 0);
    EXPECT_EQ(parsed.options.values, (std::vector<std::uint16_t>{65535, 0}));
    EXPECT_FALSE(parse_command_line({"write", "1", "-1"}).ok);
    EXPECT_FALSE(parse_command_line({"write", "1", "2", "write"}).ok);
}

TEST(RegisterTable, ReadsPairsAndNamesTheBadLine)
{
    e2e::TempDir dir;
    std::string error;
    const auto table = metersim::load_register_table(
        dir.file("ok", "# comment\n10 1\n\n69 0xFFFF  # last\n"), error);
    ASSERT_TRUE(table) << error;
    EXPECT_EQ((*table)[0], 1);
    EXPECT_EQ((*table)[59], 65535);
    EXPECT_EQ((*table)[1], 0);

    for (const char* bad : {"9 1\n", "70 1\n", "10 65536\n", "10\n", "10 1 2\n", "x 1\n"}) {
        EXPECT_FALSE(metersim::load_register_table(dir.file("bad", std::string("10 5\n") + bad),
                                                   error))
            << bad;
        EXPECT_NE(error.find(":2:"), std::string::npos) << error;
    }
}

TEST(SimulatorFaults, ParsedByNameAndScheduledEveryNth)
{
    EXPECT_FALSE(metersim::parse_fault("no-reply:0"));
    EXPECT_FALSE(metersim::parse_fault("no-reply:"));
    EXPECT_FALSE(metersim::parse_fault("sleep"));
    const auto plan = metersim::parse_fault(std::string(metersim::kFaultWrongEcho) + ":2");
    ASSERT_TRUE(plan);
    EXPECT_EQ(plan->kind, metersim::FaultKind::WrongEcho);

    metersim::FaultSchedule schedule({*plan, {metersim::FaultKind::BadCrc, 3}});
    std::string hits;
    for (bool write : {true, false, true, false, true, true}) {
        const metersim::FaultDecision decision = schedule.next(write);
        hits += std::string(decision.wrong_echo ? "E" : "") + (decision.bad_crc ? "C" : "") + "|";
    }
    // Only writes count towards wrong-echo; every request counts towards bad-crc.
    EXPECT_EQ(hits, "||EC|||EC|");
}

TEST(HistoryStore, NewestIsPerDataIdAndSurvivesReopening)
{
    e2e::TempDir dir;
    const std::string path = dir.path("h.db");
    std::string error;
    {
        devhost::HistoryStore store(path);
        for (std::uint8_t i = 1; i <= 3; ++i)
            ASSERT_TRUE(store.append({7, 5156, i, {i, i}}, error)) << error;
        ASSERT_TRUE(store.append({8, 5156, 9, {0xEE}}, error));
    }
    devhost::HistoryStore store(path);
    EXPECT_EQ(store.count(7), 3u);
    const auto newest = store.newest(7);
    ASSERT_TRUE(newest);
    EXPECT_EQ(newest->bytes, (std::vector<std::uint8_t>{3, 3}));
    EXPECT_EQ(newest->stored_at_ms, 3);
    EXPECT_EQ(store.newest(8)->bytes, std::vector<std::uint8_t>{0xEE});
    EXPECT_FALSE(store.newest(9));
    EXPECT_THROW(devhost::HistoryStore(dir.path("no/such/folder/h.db")), std::runtime_error);
}

TEST(SnapshotTable, AlignsWideKeysAndShowsTheUpdateTime)
{
    EXPECT_EQ(meterhost::display_width("AB相线电压"), 10u);
    EXPECT_EQ(meterhost::display_width("abc"), 3u);
    const std::string table = meterhost::render_snapshot_table(
        "{\"A相电压\":2300.0,\"总有功功率\":1.2339999675750732,\"更新时间\":\"2024-3-5 7:8:9\"}\n",
        {"/dev/x", 4, 1, 0, ""});
    EXPECT_EQ(table,
              "meter on /dev/x | round 4 | errors 1 | updated 2024-3-5 7:8:9\n"
              "  A相电压       2300\n"
              "  总有功功率    1.234\n");
    const std::string offline =
        meterhost::render_snapshot_table("null\n", {"/dev/x", 0, 2, 5, "offline"});
    EXPECT_EQ(offline.rfind("meter 5 on /dev/x | offline | round 0 | errors 2 | updated never", 0),
              0u)
        << offline;
    EXPECT_NE(offline.find("no data yet"), std::string::npos);
}

}  // namespace
