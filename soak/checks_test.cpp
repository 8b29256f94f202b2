// The soak's checks, fed made-up evidence: each must accept what a sound host
// and meter produce and flag every kind of contradiction, or a soak that
// "passes" proves nothing.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <json/writer.h>

#include "host/spmodbus.h"
#include "meter/quantity_table.h"
#include "request_log.h"
#include "snapshot_check.h"
#include "soak_host.h"

namespace {

using metersim::RegisterValues;

RegisterValues block_of(std::uint16_t first)
{
    RegisterValues block{};
    for (std::size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<std::uint16_t>(first + i);
    return block;
}

// ---- simulator log lines ----------------------------------------------------

struct LogCase {
    const char* line;
    soak::RequestKind kind;
    const char* what;
    bool faulted;
    bool intact;
    bool wrong_echo;
};

class RequestLogLine : public testing::TestWithParam<LogCase> {};

TEST_P(RequestLogLine, TakesApartWhatAndFaults)
{
    const LogCase& c = GetParam();
    const soak::RequestLine parsed = soak::parse_request_line(c.line);
    EXPECT_EQ(parsed.kind, c.kind);
    EXPECT_EQ(parsed.what, c.what);
    EXPECT_EQ(parsed.faulted(), c.faulted);
    EXPECT_EQ(parsed.reply_intact(), c.intact);
    EXPECT_EQ(parsed.wrong_echo, c.wrong_echo);
}

using soak::RequestKind;
INSTANTIATE_TEST_SUITE_P(
    Lines, RequestLogLine,
    testing::Values(
        LogCase{"slave 1: read 10+60", RequestKind::Read, "read 10+60", false, true, false},
        LogCase{"slave 1: read 10+60 [delayed]", RequestKind::Read, "read 10+60", true, true,
                false},
        LogCase{"slave 1: read 10+60 [bad CRC]", RequestKind::Read, "read 10+60", true, false,
                false},
        LogCase{"slave 1: read 10+60 [no reply]", RequestKind::Read, "read 10+60", true, false,
                false},
        LogCase{"slave 1: read 10+60 [exception] [bad CRC]", RequestKind::Read, "read 10+60",
                true, false, false},
        LogCase{"slave 247: write 16 = 500 [wrong echo]", RequestKind::Write, "write 16 = 500",
                true, true, true},
        LogCase{"slave 1: write 3 registers from 10 [delayed] [wrong echo]", RequestKind::Write,
                "write 3 registers from 10", true, true, true},
        LogCase{"line /dev/pts/3 closed", RequestKind::LineEvent, "line /dev/pts/3 closed", false,
                true, false},
        LogCase{"slave 1: function 4", RequestKind::Unknown, "function 4", false, true, false}));

// ---- published records --------------------------------------------------------

constexpr std::uint32_t kDataId = 77;

std::vector<unsigned char> record_of(std::uint32_t data_id, const std::uint16_t* registers)
{
    std::vector<unsigned char> record(131, 0);
    std::memcpy(record.data(), &data_id, sizeof data_id);
    std::memcpy(record.data() + 4, registers, 120);
    return record;
}

class RecordCheckTest : public testing::Test {
protected:
    RecordCheckTest()
    {
        served.add(block_of(100));
        served.add(block_of(500));
    }
    bool publish(const std::vector<unsigned char>& record, int kind = 5156)
    {
        const unsigned long bad = counts.bad_records;
        check.publish(device, kind, record.data(), static_cast<unsigned>(record.size()), false);
        return counts.bad_records == bad;
    }

    // The check never looks at the device; any will do.
    struct AnyDevice : SPModbus {
        using SPModbus::LoadFromCache;
        int LoadFromCache(const unsigned char*, int) override { return 0; }
        void RoundDone() override {}
        int process_payload(tab_type, unsigned int) override { return 1; }
    } device;

    soak::ServedStates served{8};
    soak::HostCounts counts;
    std::vector<std::string> problems;
    soak::RecordCheck check{served, kDataId, counts, problems};
};

TEST_F(RecordCheckTest, TakesEveryServedBlock)
{
    EXPECT_TRUE(publish(record_of(kDataId, block_of(100).data())));
    EXPECT_TRUE(publish(record_of(kDataId, block_of(500).data())));
    EXPECT_EQ(counts.records_checked, 2u);
    EXPECT_TRUE(problems.empty());
}

TEST_F(RecordCheckTest, FlagsATornRecord)
{
    RegisterValues torn = block_of(500);
    std::copy_n(block_of(100).begin(), 30, torn.begin());  // first half from the older block
    EXPECT_FALSE(publish(record_of(kDataId, torn.data())));
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_NE(problems[0].find("never served"), std::string::npos) << problems[0];
}

TEST_F(RecordCheckTest, FlagsAWrongDataIdKindOrLength)
{
    EXPECT_FALSE(publish(record_of(kDataId + 1, block_of(100).data())));
    EXPECT_FALSE(publish(record_of(kDataId, block_of(100).data()), 5157));
    std::vector<unsigned char> short_record = record_of(kDataId, block_of(100).data());
    short_record.pop_back();
    EXPECT_FALSE(publish(short_record));
    EXPECT_EQ(counts.bad_records, 3u);
}

TEST(ServedStatesWindow, ForgetsTheOldestBeyondItsSize)
{
    soak::ServedStates served(2);
    served.add(block_of(1));
    served.add(block_of(2));
    served.add(block_of(2));  // the same block again takes no room
    EXPECT_TRUE(served.contains(block_of(1).data()));
    served.add(block_of(3));
    EXPECT_FALSE(served.contains(block_of(1).data()));
    EXPECT_TRUE(served.contains(block_of(2).data()));
    EXPECT_TRUE(served.contains_prefix(block_of(3).data(), 30));
    EXPECT_EQ(served.reads_served(), 4u);
}

// ---- snapshot texts -------------------------------------------------------------

// The snapshot the module would make of a block, and its text (members in
// any order do: the check parses it).
Json::Value snapshot_of(const RegisterValues& block)
{
    Json::Value snapshot(Json::objectValue);
    for (const Quantity& quantity : kQuantities)
        snapshot[quantity.key] = quantity_value(quantity, block[quantity.word]);
    snapshot["更新时间"] = "2026-12-7 21:5:0";
    return snapshot;
}

std::string text_of(const Json::Value& snapshot)
{
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return Json::FastWriter().write(snapshot);
#pragma GCC diagnostic pop
}

TEST(SnapshotTextCheck, TakesOneServedBlocksQuantities)
{
    soak::ServedStates served(4);
    served.add(block_of(1234));  // word 9 (a power) is 1243: 1.243 in single precision
    EXPECT_EQ(soak::snapshot_text_problem(text_of(snapshot_of(block_of(1234))), false, served), "");
}

TEST(SnapshotTextCheck, FlagsQuantitiesFromTwoBlocks)
{
    soak::ServedStates served(4);
    served.add(block_of(100));
    served.add(block_of(200));
    RegisterValues mixed = block_of(200);
    mixed[12] = block_of(100)[12];  // one power from the older round
    EXPECT_NE(soak::snapshot_text_problem(text_of(snapshot_of(mixed)), false, served), "");
}

TEST(SnapshotTextCheck, FlagsAValueNoRegisterWordGives)
{
    soak::ServedStates served(4);
    served.add(block_of(100));
    Json::Value snapshot = snapshot_of(block_of(100));
    // 0.1089 is no word / 1000 in single precision (109 gives 0.10899999...).
    snapshot[kQuantities[9].key] = 0.1089;
    EXPECT_NE(soak::snapshot_text_problem(text_of(snapshot), false, served), "");
}

TEST(SnapshotTextCheck, NullOnlyBeforeTheFirstRound)
{
    soak::ServedStates served(4);
    EXPECT_EQ(soak::snapshot_text_problem("null\n", true, served), "");
    EXPECT_NE(soak::snapshot_text_problem("null\n", false, served), "");
    EXPECT_NE(soak::snapshot_text_problem("{\"A\":1}\n", true, served), "");
}

// ---- write outcomes ---------------------------------------------------------------

struct WriteCase {
    const char* name;
    std::int32_t outcome;
    bool applied;
    soak::WriteTaken taken;
    bool contradicts;
};

class WriteOutcome : public testing::TestWithParam<WriteCase> {};

TEST_P(WriteOutcome, AgreesWithWhatTheMeterDid)
{
    const WriteCase& c = GetParam();
    const std::string problem =
        soak::write_outcome_problem(c.outcome, c.applied, c.taken, "write 16 = 500");
    EXPECT_EQ(!problem.empty(), c.contradicts) << problem;
}

const soak::WriteTaken kClean{"write 16 = 500", false, false, 1};
const soak::WriteTaken kWrongEcho{"write 16 = 500", true, true, 1};
const soak::WriteTaken kException{"write 16 = 500", true, false, 1};
const soak::WriteTaken kOtherWrite{"write 17 = 500", false, false, 1};

INSTANTIATE_TEST_SUITE_P(
    Outcomes, WriteOutcome,
    testing::Values(WriteCase{"ConfirmedAndApplied", 1, true, kClean, false},
                    WriteCase{"ConfirmedNotApplied", 1, false, kClean, true},
                    WriteCase{"ConfirmedDespiteWrongEcho", 1, true, kWrongEcho, true},
                    WriteCase{"ConfirmedDespiteException", 1, true, kException, true},
                    WriteCase{"ConfirmedButMeterTookAnother", 1, true, kOtherWrite, true},
                    WriteCase{"RefusedAfterWrongEcho", 3, true, kWrongEcho, false},
                    WriteCase{"RefusedThoughEchoed", 3, true, kClean, true},
                    WriteCase{"UnansweredIsNoClaim", -1, true, kClean, false},
                    WriteCase{"OutcomeOutOfRange", 2, true, kClean, true}),
    [](const testing::TestParamInfo<WriteCase>& param_info) { return param_info.param.name; });

}  // namespace
