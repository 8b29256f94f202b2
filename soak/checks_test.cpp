// The soak's checks, fed made-up evidence: each must accept what a sound host
// and meter produce and flag every kind of contradiction, or a soak that
// "passes" proves nothing.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <utility>
#include <string>
#include <vector>

#include <json/writer.h>

#include "soak/diagnostic_lines.h"
#include "meter/quantity_table.h"
#include "soak/meter_under_test.h"
#include "soak/request_log.h"
#include "soak/snapshot_readers.h"
#include "soak/snapshot_check.h"
#include "soak/soak_host.h"
#include "soak/soak_options.h"
#include "soak/verdict.h"

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
    int slave;
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
    EXPECT_EQ(parsed.slave, c.slave);
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
        LogCase{"slave 1: read 10+60", 1, RequestKind::Read, "read 10+60", false, true, false},
        LogCase{"slave 1: read 10+60 [delayed]", 1, RequestKind::Read, "read 10+60", true, true,
                false},
        LogCase{"slave 1: read 10+60 [bad CRC]", 1, RequestKind::Read, "read 10+60", true, false,
                false},
        LogCase{"slave 1: read 10+60 [no reply]", 1, RequestKind::Read, "read 10+60", true, false,
                false},
        LogCase{"slave 1: read 10+60 [exception] [bad CRC]", 1, RequestKind::Read, "read 10+60",
                true, false, false},
        LogCase{"slave 247: write 16 = 500 [wrong echo]", 247, RequestKind::Write, "write 16 = 500",
                true, true, true},
        LogCase{"slave 1: write 3 registers from 10 [delayed] [wrong echo]", 1, RequestKind::Write,
                "write 3 registers from 10", true, true, true},
        LogCase{"line /dev/pts/3 closed", 0, RequestKind::LineEvent, "line /dev/pts/3 closed", false,
                true, false},
        LogCase{"slave 5: dead, no answer", 5, RequestKind::Ignored, "dead, no answer", false,
                true, false},
        LogCase{"slave 1: function 4", 1, RequestKind::Unknown, "function 4", false, true, false}));

// ---- published records --------------------------------------------------------

std::vector<unsigned char> record_of(std::uint32_t data_id, const std::uint16_t* registers)
{
    std::vector<unsigned char> record(131, 0);
    std::memcpy(record.data(), &data_id, sizeof data_id);
    std::memcpy(record.data() + 4, registers, 120);
    return record;
}

// Two meters that served blocks of their own ranges, and a dead one.
class RecordCheckTest : public testing::Test {
protected:
    RecordCheckTest()
    {
        first.data_id = 77;
        second.data_id = 78;
        dead.data_id = 79;
        first.served.add(first.first_block());
        first.served.add(block_of(first.first_block()[0] + 100));
        second.served.add(second.first_block());
    }
    std::string problem(const soak::MeterUnderTest& meter, const RegisterValues& block,
                        std::uint32_t data_id, int kind = 5156, std::size_t length = 131)
    {
        std::vector<unsigned char> record = record_of(data_id, block.data());
        record.resize(length);
        return soak::record_problem(meter, kind, record.data(),
                                    static_cast<unsigned>(record.size()));
    }

    soak::MeterUnderTest first{"A", 1, 0, false, 8};
    soak::MeterUnderTest second{"A", 2, 1, false, 8};
    soak::MeterUnderTest dead{"B", 5, 2, true, 8};
};

TEST_F(RecordCheckTest, TakesEveryBlockTheMeterServed)
{
    EXPECT_EQ(problem(first, first.first_block(), 77), "");
    EXPECT_EQ(problem(first, block_of(first.first_block()[0] + 100), 77), "");
    EXPECT_EQ(problem(second, second.first_block(), 78), "");
}

TEST_F(RecordCheckTest, FlagsATornRecord)
{
    RegisterValues torn = block_of(first.first_block()[0] + 100);
    std::copy_n(first.first_block().begin(), 30, torn.begin());  // first half from the older block
    EXPECT_NE(problem(first, torn, 77).find("never served"), std::string::npos);
}

TEST_F(RecordCheckTest, FlagsAnotherMetersRecord)
{
    EXPECT_NE(problem(first, second.first_block(), 77), "");  // its registers
    EXPECT_NE(problem(first, first.first_block(), 78), "");   // its data id
}

TEST_F(RecordCheckTest, FlagsAWrongKindOrLengthAndAnyRecordOfTheDeadMeter)
{
    EXPECT_NE(problem(first, first.first_block(), 77, 5157), "");
    EXPECT_NE(problem(first, first.first_block(), 77, 5156, 130), "");
    EXPECT_NE(problem(dead, dead.first_block(), 79), "");
}

TEST(MeterRanges, WrittenValuesStayInTheMetersOwnRange)
{
    for (std::size_t range = 0; range < 5; ++range) {
        soak::MeterUnderTest meter("A", 1, range, false, 1);
        const std::uint16_t base = meter.first_block()[0];
        for (int i = 0; i < soak::kRangeSize + 5; ++i) {
            const std::uint16_t value = meter.next_value();
            ASSERT_GE(value, base + metersim::kRegisterCount) << range;
            ASSERT_LT(value, base + soak::kRangeSize) << range;
        }
    }
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

// ---- value queries -----------------------------------------------------------------

TEST(ValueCheck, DataOnlyAfterARoundAndNeverForTheDeadMeter)
{
    const soak::MeterUnderTest live("A", 1, 0, false, 1);
    const soak::MeterUnderTest dead("B", 5, 1, true, 1);
    EXPECT_EQ(soak::value_problem(live, false, "数据未就绪"), "");
    EXPECT_EQ(soak::value_problem(live, true, "不支持变量"), "");
    EXPECT_EQ(soak::value_problem(live, true, "数据已超时"), "");
    EXPECT_EQ(soak::value_problem(dead, true, "数据未就绪"), "");
    EXPECT_NE(soak::value_problem(live, true, "数据未就绪"), "");
    EXPECT_NE(soak::value_problem(live, false, nullptr), "");
    EXPECT_NE(soak::value_problem(dead, false, "不支持变量"), "");
    EXPECT_NE(soak::value_problem(live, true, "bad"), "");
}

// ---- diagnostic lines ----------------------------------------------------------------

// What the module writes to file descriptor 1 reaches the counts, and an
// unfinished last line is not lost.
TEST(DiagnosticLinesCatch, CountsWhatReachesStandardOutput)
{
    soak::DiagnosticCounts counts;
    {
        soak::DiagnosticLines lines;
        std::cout << "rvSize is 3\nSPModbus get error\nrvSize is " << std::flush;
        counts = lines.finish();
    }
    EXPECT_EQ(counts.round_lines, 1u);
    EXPECT_EQ(counts.error_lines, 1u);
    EXPECT_EQ(counts.other_lines, 1u);
    ASSERT_EQ(counts.samples.size(), 1u);
    EXPECT_EQ(counts.samples[0], "rvSize is ");
}

// ---- the verdict on a whole run ------------------------------------------------

// A run in which everything held: a live meter whose records match the
// diagnostic lines and its intact replies, a dead one reported offline, the
// terminal reopened, memory flat after the warm-up.
soak::Outcome sound_run()
{
    soak::Outcome outcome;
    soak::LineOutcome line;
    line.name = "A";
    line.faults.reopened = 2;
    line.host_errors = 3;
    outcome.lines.push_back(line);
    soak::MeterOutcome live;
    live.name = "meter 1 on line A";
    live.line = "A";
    live.counts.rounds = 10;
    live.counts.confirmed = 2;
    live.log.intact_reads = 12;
    soak::MeterOutcome dead = live;
    dead.name = "meter 5 on line A";
    dead.dead = true;
    dead.counts = {};
    dead.offline_reports = 1;
    outcome.meters = {live, dead};
    outcome.host = live.counts;
    outcome.host_errors = 3;
    outcome.diagnostics.round_lines = 10;
    outcome.diagnostics.error_lines = 3;
    outcome.after_warm_up.peak_kib = 5000;
    outcome.at_end.peak_kib = 5000 + 2048;
    return outcome;
}

soak::SoakOptions ten_seconds()
{
    soak::SoakOptions options;
    options.seconds = 10;
    options.rss_margin_kib = 2048;
    return options;
}

TEST(SoakVerdict, PassesASoundRunAndNamesEachThingThatWentWrong)
{
    EXPECT_EQ(soak::verdict(ten_seconds(), sound_run()), std::vector<std::string>{});

    using Spoil = std::function<void(soak::Outcome&)>;
    const std::pair<Spoil, const char*> spoiled[] = {
        {[](soak::Outcome& o) { o.problems = {"meter 1 on line A: torn record"}; }, "torn record"},
        {[](soak::Outcome& o) { o.host.bad_records = 1; }, "not a block their own meter served"},
        {[](soak::Outcome& o) { o.host.bad_writes = 2; }, "2 write outcomes contradict"},
        {[](soak::Outcome& o) { o.readers.inconsistent = 1; }, "snapshot or value requests"},
        {[](soak::Outcome& o) { o.host.confirmed = 0; }, "no write was confirmed"},
        {[](soak::Outcome& o) { o.meters[1].counts.rounds = 1; }, "dead but published"},
        {[](soak::Outcome& o) { o.meters[1].offline_reports = 0; }, "never reported offline"},
        {[](soak::Outcome& o) { o.meters[0].counts.rounds = 0; }, "completed no round"},
        {[](soak::Outcome& o) { o.meters[0].log.intact_reads = 9; }, "more records published"},
        {[](soak::Outcome& o) { o.lines[0].unrecognised_log_lines = 1; }, "does not know"},
        {[](soak::Outcome& o) { o.lines[0].faults.reopened = 0; }, "never reopened"},
        {[](soak::Outcome& o) {
             o.diagnostics.other_lines = 1;
             o.diagnostics.samples = {"rvSize is 01"};
         },
         "'rvSize is 01'"},
        {[](soak::Outcome& o) { o.diagnostics.round_lines = 9; }, "9 round lines for 10 records"},
        {[](soak::Outcome& o) { o.diagnostics.error_lines = 4; }, "4 error lines for 3"},
        {[](soak::Outcome& o) { o.at_end.peak_kib += 1; }, "peak RSS grew"},
    };
    for (const auto& [spoil, named] : spoiled) {
        soak::Outcome outcome = sound_run();
        spoil(outcome);
        const std::vector<std::string> failures = soak::verdict(ten_seconds(), outcome);
        ASSERT_EQ(failures.size(), 1u) << named << ": " << testing::PrintToString(failures);
        EXPECT_NE(failures[0].find(named), std::string::npos) << failures[0];
    }

    // A run too short for the terminal to be reopened is not held to it.
    soak::Outcome short_run = sound_run();
    short_run.lines[0].faults.reopened = 0;
    soak::SoakOptions five_seconds = ten_seconds();
    five_seconds.seconds = 5;
    EXPECT_EQ(soak::verdict(five_seconds, short_run), std::vector<std::string>{});
}

std::string summary_of(const soak::Outcome& outcome, const std::vector<std::string>& failures)
{
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* out = open_memstream(&text, &size);
    soak::print_summary(out, ten_seconds(), outcome, failures);
    std::fclose(out);
    const std::string summary(text, size);
    std::free(text);
    return summary;
}

TEST(SoakSummary, EndsInTheVerdictWithEachFailure)
{
    const std::string passed = summary_of(sound_run(), {});
    EXPECT_NE(passed.find("soak: meter 5 on line A, data id 0 (dead): 0 polls"), std::string::npos)
        << passed;
    EXPECT_EQ(passed.substr(passed.size() - 11), "soak: PASS\n");
    const std::string failed = summary_of(sound_run(), {"one", "two"});
    EXPECT_NE(failed.find("soak: FAIL: one\nsoak: FAIL: two\nsoak: FAILED\n"), std::string::npos)
        << failed;
}

// ---- command line -----------------------------------------------------------

TEST(SoakOptions, GivenValuesOverTheDefaultsAndEveryBadOneRefused)
{
    soak::SoakOptions defaults;
    defaults.module = "built.so";
    defaults.seed = 7;
    const auto parsed = soak::parse_soak_options(
        {"--seconds", "0.5", "--seed=4294967295", "--readers", "0", "--rss-margin-kib", "4096"},
        defaults);
    ASSERT_TRUE(parsed.ok) << parsed.error;
    EXPECT_EQ(parsed.options.seconds, 0.5);
    EXPECT_EQ(parsed.options.seed, 4294967295u);
    EXPECT_EQ(parsed.options.readers, 0);
    EXPECT_EQ(parsed.options.rss_margin_kib, 4096);
    EXPECT_EQ(parsed.options.module, "built.so") << "what is not given keeps its default";

    const std::pair<std::vector<std::string>, const char*> refused[] = {
        {{"--seconds", "0"}, "--seconds needs seconds above 0"},
        {{"--seconds", "nan"}, "--seconds"},
        {{"--seed", "4294967296"}, "--seed needs a whole number from 0 to 4294967295"},
        {{"--seed", "-1"}, "--seed"},
        {{"--readers", "17"}, "--readers needs a whole number from 0 to 16"},
        {{"--rss-margin-kib", "-5"}, "--rss-margin-kib"},
        {{"--module", ""}, "--module needs a path"},
        {{"--seconds"}, "--seconds needs a value"},
        {{"--second", "5"}, "unknown option '--second'"},
        {{"60"}, "unexpected argument '60'"},
    };
    for (const auto& [args, message] : refused) {
        const auto rejected = soak::parse_soak_options(args, defaults);
        EXPECT_FALSE(rejected.ok) << testing::PrintToString(args);
        EXPECT_NE(rejected.error.find(message), std::string::npos) << rejected.error;
    }
    EXPECT_TRUE(soak::parse_soak_options({"--help"}, defaults).help);
}

}  // namespace
