// Round completion of the data-device template, observed through the
// recording host: the order of its steps, what each host call receives, and
// what the round leaves behind.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "tests/support/cout_capture.h"
#include "devhost/runtime/recording_backend.h"
#include "tests/datadevice/round_probe.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using devhost::HostCall;

void fill_registers(RoundProbe& device)
{
    std::uint16_t words[kRegisterBlockCount];
    for (int i = 0; i < kRegisterBlockCount; ++i)
        words[i] = static_cast<std::uint16_t>(0x0101 * (i + 1));
    store_registers(device.record, words);
}

TEST(RoundCompletion, StepsRunInOrderAndSeeTheStateOfTheirStep)
{
    devhost::RecordingBackend host;
    RoundProbe device;
    host.attach(device);
    device.data_id = 0x11223344;
    device.record.data_id = device.data_id;
    fill_registers(device);
    device.check_signals = {"U"};
    device.signal_values = {{"U", 230.5f}};
    device.rule_values.resize(3);
    device.report_needed = true;
    const Bytes before_round = device.record_bytes();

    kpmtest::CoutCapture out;
    std::size_t calls_before_hook = 0;
    device.on_hook = [&] {
        calls_before_hook = host.calls().size();
        EXPECT_EQ(device.data_status, 1);
        EXPECT_FALSE(device.report_needed);
    };
    host.on_call = [&](const HostCall& call) {
        // The host may ask for a snapshot from inside any of its operations.
        EXPECT_TRUE(device.snapshot_mutex.try_lock()) << call.op << " called under the lock";
        device.snapshot_mutex.unlock();
        if (call.op == "SendSP") {
            EXPECT_TRUE(device.data_ready);
            EXPECT_FALSE(device.data_time.is_not_a_date_time());
            EXPECT_EQ(device.data_status, 0) << "status is set after publication";
        } else if (call.op == "Reset") {
            EXPECT_EQ(device.data_status, 0);
            EXPECT_TRUE(device.report_needed) << "cleared only after Reset";
        } else if (call.op == "CheckAOReport") {
            EXPECT_EQ(out.text(), "");
        } else if (call.op == "DoBatchCheckThreshold") {
            EXPECT_EQ(out.text(), "rvSize is 3\n");
        } else if (call.op == "SaveDeviceHistory") {
            EXPECT_EQ(device.rule_values.size(), 3u) << "rules are emptied last";
        }
    };

    const auto start = boost::posix_time::second_clock::local_time();
    device.RoundDone();
    const auto end = boost::posix_time::second_clock::local_time();

    const std::vector<std::string> expected_order = {
        "SendSP", "Reset", "CheckAOReport", "CheckThreshold", "DoBatchCheckThreshold",
        "SaveDeviceHistory"};
    EXPECT_EQ(host.call_names(), expected_order);
    EXPECT_EQ(calls_before_hook, 2u) << "the hook runs after Reset, before the signal checks";
    EXPECT_EQ(device.hook_runs, 1);

    const auto calls = host.calls();
    ASSERT_EQ(calls.size(), expected_order.size());
    const HostCall& published = calls[0];
    const HostCall& stored = calls[5];
    EXPECT_EQ(published.args, (std::vector<std::int64_t>{kProbeRecordKind, 131, 0}));
    EXPECT_EQ(stored.args, (std::vector<std::int64_t>{131}));
    EXPECT_EQ(published.bytes, device.record_bytes());
    EXPECT_EQ(stored.bytes, published.bytes);
    EXPECT_TRUE(std::equal(before_round.begin(), before_round.begin() + 124,
                           published.bytes.begin()))
        << "only the time stamp is written by the round";
    const ttime stamp = get_ttime(device.data_time);
    EXPECT_EQ(0, std::memcmp(published.bytes.data() + 124, &stamp, sizeof stamp));
    EXPECT_LE(start, device.data_time);
    EXPECT_GE(end, device.data_time);

    EXPECT_EQ(calls[2].text, "U");
    EXPECT_EQ(calls[2].value, 230.5f);
    EXPECT_EQ(calls[3].text, "U");
    EXPECT_EQ(calls[3].rule, "");
    EXPECT_EQ(calls[3].args, (std::vector<std::int64_t>{1}));
    EXPECT_EQ(calls[3].value_ref, &device.signal_values.at("U"))
        << "the stored value itself, by reference";
    EXPECT_EQ(calls[4].args, (std::vector<std::int64_t>{3}));

    EXPECT_EQ(out.text(), "rvSize is 3\n");
    EXPECT_TRUE(device.rule_values.empty());
    EXPECT_EQ(device.data_status, 1);
    EXPECT_FALSE(device.report_needed);
}

TEST(RoundCompletion, SignalsAreVisitedAsListedAndAbsentOnesSkipped)
{
    devhost::RecordingBackend host;
    RoundProbe device;
    host.attach(device);
    device.check_signals = {"U", "missing", "U", "I", ""};
    device.signal_values = {{"U", 1.5f}, {"I", 2.5f}};
    kpmtest::CoutCapture out;

    device.RoundDone();

    std::vector<std::string> visited;
    for (const HostCall& call : host.calls())
        if (call.op == "CheckAOReport" || call.op == "CheckThreshold")
            visited.push_back(call.op + ":" + call.text);
    const std::vector<std::string> expected = {"CheckAOReport:U", "CheckThreshold:U",
                                               "CheckAOReport:U", "CheckThreshold:U",
                                               "CheckAOReport:I", "CheckThreshold:I"};
    EXPECT_EQ(visited, expected);
    EXPECT_EQ(device.signal_values.size(), 2u) << "lookups never insert";
    EXPECT_EQ(device.check_signals.size(), 5u);
}

TEST(RoundCompletion, NoSignalsStillEvaluatesRulesAndStoresHistory)
{
    devhost::RecordingBackend host;
    RoundProbe device;
    host.attach(device);
    device.rule_values.resize(1);
    kpmtest::CoutCapture out;

    device.RoundDone();
    device.RoundDone();

    const std::vector<std::string> one_round = {"SendSP", "Reset", "DoBatchCheckThreshold",
                                                "SaveDeviceHistory"};
    std::vector<std::string> two_rounds = one_round;
    two_rounds.insert(two_rounds.end(), one_round.begin(), one_round.end());
    EXPECT_EQ(host.call_names(), two_rounds);
    EXPECT_EQ(out.text(), "rvSize is 1\nrvSize is 0\n");
    EXPECT_EQ(host.calls_named("DoBatchCheckThreshold")[1].args,
              (std::vector<std::int64_t>{0}));
}

struct ReportCase {
    const char* name;
    bool before;              // report_needed left by an earlier round
    std::vector<bool> ao;     // CheckAOReport answers, one per signal
    bool batch;               // DoBatchCheckThreshold answer
    bool hook_sets;           // the device's own hook raises it
    bool expected;
};

TEST(RoundCompletion, ReportNeededReflectsThisRoundOnly)
{
    const std::vector<ReportCase> cases = {
        {"all quiet, stale true cleared", true, {false, false}, false, false, false},
        {"first report, later false", false, {true, false}, false, false, true},
        {"last report", false, {false, true}, false, false, true},
        {"batch only", false, {false, false}, true, false, true},
        {"hook only", false, {false, false}, false, true, true},
        {"no signals, batch false", true, {}, false, false, false},
    };
    for (const ReportCase& c : cases) {
        devhost::RecordingBackend host;
        host.script_ao_report(c.ao);
        host.script_batch_check({c.batch});
        RoundProbe device;
        host.attach(device);
        for (std::size_t i = 0; i < c.ao.size(); ++i) {
            const std::string name = "S" + std::to_string(i);
            device.check_signals.push_back(name);
            device.signal_values[name] = static_cast<float>(i);
        }
        device.report_needed = c.before;
        if (c.hook_sets)
            device.on_hook = [&device] { device.report_needed = true; };
        kpmtest::CoutCapture out;

        device.RoundDone();

        EXPECT_EQ(device.report_needed, c.expected) << c.name;
        EXPECT_EQ(host.calls_named("CheckAOReport").size(), c.ao.size())
            << c.name << ": every present signal is checked, whatever was found before";
    }
}

TEST(RoundCompletion, AHostFailureStopsTheRoundWhereItIsRaised)
{
    const std::vector<std::string> order = {"SendSP", "Reset", "CheckAOReport",
                                            "CheckThreshold", "DoBatchCheckThreshold",
                                            "SaveDeviceHistory"};
    for (std::size_t failing = 0; failing < order.size(); ++failing) {
        const std::string& op = order[failing];
        devhost::RecordingBackend host;
        host.on_call = [&op](const HostCall& call) {
            if (call.op == op)
                throw std::runtime_error("host failure");
        };
        RoundProbe device;
        host.attach(device);
        device.check_signals = {"U"};
        device.signal_values = {{"U", 1.0f}};
        device.rule_values.resize(2);
        kpmtest::CoutCapture out;

        EXPECT_THROW(device.RoundDone(), std::runtime_error) << op;

        const std::vector<std::string> reached(order.begin(),
                                               order.begin() + static_cast<std::ptrdiff_t>(failing) + 1);
        EXPECT_EQ(host.call_names(), reached) << op;
        EXPECT_EQ(device.rule_values.size(), 2u) << op;
        EXPECT_EQ(device.data_status, failing >= 2 ? 1 : 0) << op;
        EXPECT_EQ(device.hook_runs, failing >= 2 ? 1 : 0) << op;
        EXPECT_EQ(out.text(), failing >= 4 ? "rvSize is 2\n" : "") << op;
        EXPECT_TRUE(device.data_ready) << op;
    }
}

}  // namespace
