// The live view's layout and its redraw rhythm, without a terminal: the
// frame for a given state and size, the pages of meters and quantities that
// do not fit, and redraws bounded however often meters complete rounds.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <map>
#include <set>

#include "tests/e2e/e2e_support.h"
#include "devhost/meterhost/live_view_layout.h"
#include "devhost/meterhost/module_lines.h"
#include "devhost/meterhost/redraw_pacer.h"
#include "devhost/meterhost/snapshot_view.h"

namespace {

using meterhost::lay_out_view;
using meterhost::MeterState;
using meterhost::ViewFrame;
using meterhost::ViewMeter;
using meterhost::ViewModel;

constexpr std::time_t kNow = 1700000000;

ViewMeter meter_with(std::size_t line, int slave, MeterState state, unsigned long rounds,
                     unsigned long errors)
{
    ViewMeter meter;
    meter.id.line = line;
    meter.id.slave = slave;
    meter.state = state;
    meter.rounds = rounds;
    meter.errors = errors;
    return meter;
}

// Meters 1 to count on one line, each with all 30 quantities.
ViewModel bus_of(int count)
{
    ViewModel model;
    model.ports = {"/dev/ttyUSB0"};
    model.now = kNow;
    for (int slave = 1; slave <= count; ++slave) {
        ViewMeter meter = meter_with(0, slave, MeterState::Online, 3, 0);
        meter.data_time = kNow - 1;
        for (const std::string& name : e2e::quantity_names())
            meter.values[name] = std::to_string(10000 + slave);
        model.meters.push_back(meter);
    }
    return model;
}

std::vector<std::string> cells_of(const std::string& line)
{
    std::vector<std::string> cells;
    for (std::size_t at = line.find_first_not_of(' '); at != std::string::npos;) {
        const std::size_t end = line.find(' ', at);
        cells.push_back(line.substr(at, end - at));
        at = line.find_first_not_of(' ', end);
    }
    return cells;
}

void expect_within(const ViewFrame& frame, std::size_t columns, std::size_t rows)
{
    EXPECT_LE(frame.lines.size(), rows);
    for (const std::string& line : frame.lines)
        EXPECT_LE(meterhost::display_width(line), columns) << line;
}

TEST(LiveViewLayout, StatusLinesAndMetersAsAlignedColumns)
{
    ViewModel model;
    model.ports = {"/dev/ttyA", "/dev/ttyB"};
    model.now = kNow;
    model.module_lines = {12, 7, 1};
    model.message = "meter 2 on /dev/ttyA is offline";
    ViewMeter first = meter_with(0, 1, MeterState::Online, 12, 0);
    first.data_time = kNow - 3;
    first.values = {{"A相电压", "2300"}, {"总有功功率", "9.833"}};
    ViewMeter third = meter_with(1, 17, MeterState::Online, 1234567, 1);
    third.data_time = kNow - 125;
    third.values = {{"A相电压", "2301"}};
    model.meters = {first, meter_with(0, 2, MeterState::Offline, 0, 7), third};

    const ViewFrame frame = lay_out_view(model, {90, 14}, 0);
    ASSERT_EQ(frame.lines.size(), 13u);
    EXPECT_EQ(frame.lines[0].rfind("meterhost ", 0), 0u) << frame.lines[0];
    EXPECT_NE(frame.lines[0].find(
                  "module output 20 lines: rvSize 12, SPModbus get error 7, other 1"),
              std::string::npos)
        << frame.lines[0];
    const std::vector<std::string> rest(frame.lines.begin() + 1, frame.lines.end());
    EXPECT_EQ(rest, (std::vector<std::string>{
                        "line 1 /dev/ttyA | polling, 1 offline | 2 meters, 1 online | rounds 12 | "
                        "errors 7",
                        "line 2 /dev/ttyB | polling | 1 meter, 1 online | rounds 1234567 | "
                        "errors 1",
                        "last message: meter 2 on /dev/ttyA is offline",
                        "page 1 of 1",
                        "meter             1        2       17",
                        "line              1        1        2",
                        "state        online  offline   online",
                        "rounds           12        0  1234567",
                        "errors            0        7        1",
                        "age              3s        -       2m",
                        "A相电压        2300        -     2301",
                        "总有功功率    9.833        -        -",
                    }));
    expect_within(frame, 90, 14);
}

// Every meter and every quantity shown once over the pages, and no frame
// larger than the screen.
std::map<std::string, std::set<std::string>> shown_over_pages(const ViewModel& model,
                                                              meterhost::ScreenSize size)
{
    const std::size_t pages = lay_out_view(model, size, 0).pages;
    std::map<std::string, std::set<std::string>> quantities_of;
    for (std::size_t page = 0; page < pages; ++page) {
        const ViewFrame frame = lay_out_view(model, size, page);
        expect_within(frame, size.columns, size.rows);
        EXPECT_EQ(frame.page, page);
        const std::string page_line = "page " + std::to_string(page + 1) + " of " +
                                      std::to_string(pages);
        const auto heading =
            std::find_if(frame.lines.begin(), frame.lines.end(),
                         [](const std::string& line) { return line.rfind("meter ", 0) == 0; });
        if (heading == frame.lines.end()) {
            ADD_FAILURE() << "no meter row on page " << page;
            continue;
        }
        EXPECT_EQ(heading[-1].rfind(page_line, 0), 0u) << heading[-1];
        const std::vector<std::string> slaves = cells_of(*heading);
        for (auto row = heading + 5; row != frame.lines.end(); ++row) {
            const std::vector<std::string> cells = cells_of(*row);
            EXPECT_EQ(cells.size(), slaves.size()) << *row;
            for (std::size_t i = 1; i < slaves.size(); ++i)
                EXPECT_TRUE(quantities_of[slaves[i]].insert(cells[0]).second)
                    << cells[0] << " of meter " << slaves[i] << " twice";
        }
    }
    EXPECT_EQ(lay_out_view(model, size, pages).page, 0u) << "the pages follow in turn";
    return quantities_of;
}

TEST(LiveViewLayout, EightMetersFitOneScreenOf160By45AndMoreGoOnPages)
{
    const auto names = e2e::quantity_names();
    const std::set<std::string> all_names(names.begin(), names.end());

    const ViewFrame eight = lay_out_view(bus_of(8), {160, 45}, 0);
    EXPECT_EQ(eight.pages, 1u);
    const auto shown = shown_over_pages(bus_of(8), {160, 45});
    ASSERT_EQ(shown.size(), 8u);
    for (const auto& [slave, quantities] : shown)
        EXPECT_EQ(quantities, all_names) << "meter " << slave;

    // 40 meters on 80 x 24: neither the meters nor the quantities fit.
    const auto paged = shown_over_pages(bus_of(40), {80, 24});
    EXPECT_GT(lay_out_view(bus_of(40), {80, 24}, 0).pages, 4u);
    ASSERT_EQ(paged.size(), 40u);
    for (const auto& [slave, quantities] : paged)
        EXPECT_EQ(quantities, all_names) << "meter " << slave;
}

TEST(LiveViewLayout, WideCharactersAreNeverCutInHalf)
{
    ViewModel model = bus_of(1);
    model.message = "电压频率";
    // "last message: " is 14 columns; 15 leave room for none of its wide
    // characters, 17 for one.
    EXPECT_EQ(lay_out_view(model, {15, 45}, 0).lines[2], "last message:");
    EXPECT_EQ(lay_out_view(model, {17, 45}, 0).lines[2], "last message: 电");
}

// Runs in a zone whose clocks go back, and restores the zone it found.
class ZoneWithDaylightSaving {
public:
    explicit ZoneWithDaylightSaving(const char* rule)
    {
        if (const char* zone = std::getenv("TZ"))
            saved_ = zone;
        ::setenv("TZ", rule, 1);
        ::tzset();
    }
    ~ZoneWithDaylightSaving()
    {
        if (saved_)
            ::setenv("TZ", saved_->c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }

private:
    std::optional<std::string> saved_;
};

// 02:30 on 25 October 2026 comes twice in central Europe: at 00:30 UTC in
// summer time, and an hour later in winter time, when the clocks have gone
// back. Data taken at either is as old as the clock says, not an hour older
// or in the future.
TEST(LiveViewLayout, DataAgeHoldsInTheHourRepeatedWhenClocksGoBack)
{
    const ZoneWithDaylightSaving zone("CET-1CEST,M3.5.0,M10.5.0/3");
    constexpr std::time_t kSummerTime = 1792888200;  // 2026-10-25 00:30:00 UTC
    constexpr std::time_t kWinterTime = kSummerTime + 3600;
    for (const std::time_t taken : {kSummerTime, kWinterTime}) {
        for (const std::time_t now : {taken, taken + 20}) {
            const auto parsed = meterhost::parse_update_time("2026-10-25 02:30:00", now);
            ASSERT_TRUE(parsed);
            EXPECT_EQ(meterhost::age_text(*parsed, now), now == taken ? "0s" : "20s")
                << "taken at " << taken << ", seen at " << now;
        }
    }
    // Away from the change the local time has one meaning, whatever the clock.
    EXPECT_EQ(meterhost::parse_update_time("2026-10-24 02:30:00", kWinterTime),
              kSummerTime - 86400);
}

TEST(LiveViewLayout, DataAgeFromTheSnapshotsLocalUpdateTime)
{
    // The update time is local time, as the module writes it.
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    EXPECT_EQ(meterhost::parse_update_time(text, now), now) << text;
    EXPECT_FALSE(meterhost::parse_update_time("2024-3-5"));
    EXPECT_FALSE(meterhost::parse_update_time("2024-3-5 7:8:9 extra"));

    using meterhost::age_text;
    EXPECT_EQ(age_text(std::nullopt, kNow), "-");
    EXPECT_EQ(age_text(kNow + 5, kNow), "0s") << "a clock set back is no negative age";
    EXPECT_EQ(age_text(kNow - 59, kNow), "59s");
    EXPECT_EQ(age_text(kNow - 3599, kNow), "59m");
    EXPECT_EQ(age_text(kNow - 7200, kNow), "2h");
    EXPECT_EQ(age_text(kNow - 3 * 86400, kNow), "3d");
}

TEST(RedrawPacer, BoundedRedrawsTicksAndPageTurns)
{
    using namespace std::chrono_literals;
    const auto t0 = meterhost::RedrawPacer::Clock::time_point{} + 1h;
    meterhost::RedrawPacer pacer(250ms, 1s, 5s, t0);
    // A change every millisecond for a second: a frame at once, then one
    // per 250 ms gap.
    int draws = 0;
    for (auto t = t0; t <= t0 + 1s; t += 1ms) {
        pacer.changed();
        draws += pacer.draw_now(t);
    }
    EXPECT_EQ(draws, 5);
    // Quiet: the next frame is a tick after the last one.
    EXPECT_EQ(pacer.next_wake(), t0 + 2s);
    EXPECT_FALSE(pacer.draw_now(t0 + 1999ms));
    EXPECT_TRUE(pacer.draw_now(t0 + 2s));
    // A change after a quiet spell is drawn at once.
    pacer.changed();
    EXPECT_EQ(pacer.next_wake(), t0 + 2250ms);
    EXPECT_TRUE(pacer.draw_now(t0 + 2500ms));
    EXPECT_EQ(pacer.page(), 0u);
    EXPECT_TRUE(pacer.draw_now(t0 + 5s));
    EXPECT_EQ(pacer.page(), 1u);
    EXPECT_EQ(pacer.next_wake(), t0 + 6s);
}

// The one rule for the module's diagnostic lines, which the view's title
// line, the scan's progress line and the soak count by: only whole lines as
// the module prints them.
TEST(ModuleLineKinds, OnlyWholeKnownLinesPass)
{
    using meterhost::ModuleLine;
    const std::pair<const char*, ModuleLine> cases[] = {
        {"rvSize is 0", ModuleLine::Round},
        {"rvSize is 17", ModuleLine::Round},
        {"SPModbus get error", ModuleLine::Error},
        {"rvSize is rvSize is 00", ModuleLine::Other},  // two rounds run together
        {"rvSize is 0SPModbus get error", ModuleLine::Other},
        {"rvSize is ", ModuleLine::Other},
        {"rvSize is 01", ModuleLine::Other},
        {"SPModbus get errorSPModbus get error", ModuleLine::Other},
        {"", ModuleLine::Other},
    };
    meterhost::ModuleLineCounts counts;
    for (const auto& [line, kind] : cases) {
        EXPECT_EQ(meterhost::classify_module_line(line), kind) << line;
        EXPECT_EQ(counts.count(line), kind) << line;
    }
    EXPECT_EQ(counts.round_lines, 2u);
    EXPECT_EQ(counts.error_lines, 1u);
    EXPECT_EQ(counts.other_lines, 6u);
    // A line cut off before its line feed is torn, whatever it starts with.
    EXPECT_EQ(meterhost::classify_module_line("rvSize is 3", false), ModuleLine::Other);
    EXPECT_EQ(meterhost::classify_module_line("SPModbus get error", false), ModuleLine::Other);
}

}  // namespace
