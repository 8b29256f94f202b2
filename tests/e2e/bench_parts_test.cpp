// The small parts of the bench tools whose mistakes would not show as a
// failed run: option values, table, fault and slave list parsing, frame
// checksums, and history kept per device.
#include <gtest/gtest.h>

#include "command_line.h"
#include "e2e_support.h"
#include "faults.h"
#include "frame_silence.h"
#include "history_store.h"
#include "register_bank.h"
#include "rtu_frame.h"
#include "slave_list.h"
#include "snapshot_view.h"

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
    EXPECT_EQ(o.port, "/dev/ttyUSB0");
    EXPECT_EQ(o.baud, 19200);
    EXPECT_EQ(o.parity, 'E');
    EXPECT_EQ(o.slave, 16);
    EXPECT_EQ(o.timeout_ms, 250);
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
    EXPECT_FALSE(parsed.options.port || parsed.options.baud || parsed.options.parity ||
                 parsed.options.slave || parsed.options.timeout_ms || parsed.options.rounds);
    EXPECT_DOUBLE_EQ(parsed.options.interval_s, 1.0);
    EXPECT_EQ(parsed.options.data_id, 1u);
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

TEST(SlaveList, SinglesRangesAndListsWithinTheAddressRange)
{
    using Slaves = std::vector<int>;
    const std::pair<const char*, std::optional<Slaves>> cases[] = {
        {"1", Slaves{1}},
        {"247", Slaves{247}},
        {"1-3", Slaves{1, 2, 3}},
        {"5,1-2,2", Slaves{1, 2, 5}},  // ascending, each once
        {"7-7", Slaves{7}},
        {"0", std::nullopt},
        {"248", std::nullopt},
        {"1-248", std::nullopt},
        {"3-1", std::nullopt},
        {"", std::nullopt},
        {"1,", std::nullopt},
        {",1", std::nullopt},
        {"1,,2", std::nullopt},
        {"-1", std::nullopt},
        {"1-", std::nullopt},
        {"1-2-3", std::nullopt},
        {"+1", std::nullopt},
        {" 1", std::nullopt},
        {"0x10", std::nullopt},
        {"99999999999", std::nullopt},
    };
    for (const auto& [text, want] : cases)
        EXPECT_EQ(metersim::parse_slave_list(text), want) << "'" << text << "'";
}

TEST(RtuFrame, ChecksumMatchesTheModbusReference)
{
    // A read of 10 registers from 0 at slave 1, as the Modbus reference frames it.
    const std::uint8_t request[] = {0x01, 0x03, 0x00, 0x00, 0x00, 0x0A};
    EXPECT_EQ(metersim::crc16(request, sizeof request), 0xCDC5);
    const metersim::Frame echo = metersim::write_single_echo(1, 1, 3);
    EXPECT_EQ(echo, (metersim::Frame{0x01, 0x06, 0x00, 0x01, 0x00, 0x03, 0x98, 0x0B}));
}

TEST(FrameSilence, ThreeAndAHalfCharactersOrFixedAboveNineteenTwoHundred)
{
    using std::chrono::nanoseconds;
    const struct {
        int baud;
        char parity;
        long long nanoseconds;
    } cases[] = {
        {9600, 'N', 3645834},   // 35 bits / 9600, rounded up
        {9600, 'E', 4010417},   // 38.5 bits
        {19200, 'E', 2005209},  // the last speed that is counted in characters
        {19200, 'N', 1822917},
        {1200, 'O', 32083334},
        {38400, 'N', 1750000},  // fixed from here on
        {115200, 'E', 1750000},
    };
    for (const auto& c : cases)
        EXPECT_EQ(devhost::inter_frame_silence(c.baud, c.parity), nanoseconds(c.nanoseconds))
            << c.baud << c.parity;
    EXPECT_EQ(devhost::wire_time(9600, 'N', 8), nanoseconds(8333334));
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
        {"/dev/x", 4, 1});
    EXPECT_EQ(table,
              "meter on /dev/x | round 4 | errors 1 | updated 2024-3-5 7:8:9\n"
              "  A相电压       2300\n"
              "  总有功功率    1.234\n");
    EXPECT_NE(meterhost::render_snapshot_table("null\n", {"/dev/x", 0, 0}).find("no data yet"),
              std::string::npos);
}

}  // namespace
