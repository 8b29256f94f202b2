#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <vector>

#include <json/value.h>
#include <unistd.h>

#include "devhost/meterhost/commands.h"
#include "devhost/lines/line.h"
#include "devhost/lines/line_factory.h"
#include "devhost/lines/line_settings.h"
#include "devhost/meterhost/meter_board.h"
#include "devhost/meterhost/meter_probe.h"
#include "devhost/runtime/module_loader.h"
#include "devhost/meterhost/module_lines.h"
#include "devhost/meterhost/module_output_tap.h"
#include "devhost/meterhost/scan_plan.h"
#include "devhost/meterhost/scan_progress.h"
#include "devhost/meterhost/snapshot_view.h"
#include "devhost/meterhost/stop_signal.h"

namespace meterhost {

namespace {

// What a found meter is shown with: enough to tell it is the right kind of
// meter and that its values are plausible.
constexpr const char* kShownQuantities[] = {"AB相线电压", "A相电流", "电压频率"};

struct FoundMeter {
    ScanSetting setting;
    int slave = 0;
    std::string snapshot;  // the module's text, without its line feed
};

// With --json: {"port":"P","baud":N,"parity":"E","slave":N,"snapshot":TEXT}
// (no speed or parity on a line that has none to set); otherwise the
// address, the setting and a few quantities.
std::string found_line(const ScanPlan& plan, const FoundMeter& meter, bool json)
{
    const ScanSetting& setting = meter.setting;
    if (json) {
        std::string line = "{\"port\":" + json_string(plan.port());
        if (plan.has_speed())
            line += ",\"baud\":" + std::to_string(setting.baud) + ",\"parity\":\"" +
                    std::string(1, setting.parity) + "\"";
        return line + ",\"slave\":" + std::to_string(meter.slave) +
               ",\"snapshot\":" + meter.snapshot + "}\n";
    }
    std::string line = "slave " + std::to_string(meter.slave);
    if (plan.has_speed())
        line += " at " + setting_text(setting);
    const SnapshotValues snapshot = read_snapshot(meter.snapshot);
    std::string quantities;
    for (const char* key : kShownQuantities) {
        const auto value = snapshot.quantities.find(key);
        if (value != snapshot.quantities.end())
            quantities += (quantities.empty() ? "" : ", ") + std::string(key) + " " + value->second;
    }
    return line + (quantities.empty() ? "" : ": " + quantities) + "\n";
}

class Scan {
public:
    Scan(const ScanPlan& plan, MeterProbe& probe, HostOutput& out, bool json)
        : plan_(plan), probe_(probe), out_(out), json_(json),
          found_at_(plan.slaves().size(), false), progress_(::isatty(STDERR_FILENO) == 1)
    {
    }

    enum class End { Done, Stopped, LineLost };

    // Throws SetupFailure when the line cannot be opened for the first probe.
    End run(const StopSignal& stop)
    {
        // While the progress line is on the terminal, the module's
        // diagnostics (one "SPModbus get error" for every address that does
        // not answer) would scroll it away: they are counted on it instead.
        std::optional<ModuleOutputTap> muted;
        if (progress_.shown()) {
            try {
                muted.emplace(
                    [this](const std::string& line, bool ended) {
                        std::lock_guard<std::mutex> lock(module_lines_mutex_);
                        module_lines_.count(line, ended);
                    },
                    STDERR_FILENO);
            } catch (const std::runtime_error&) {
                // They scroll, then.
            }
        }
        const End end = probe_all(stop);
        progress_.clear();
        return end;
    }

    std::size_t found() const { return found_.size(); }

private:
    End probe_all(const StopSignal& stop)
    {
        const auto& settings = plan_.settings();
        bool probed = false;
        for (std::size_t setting = 0; setting < settings.size(); ++setting) {
            if (!found_.empty() && !plan_.all_settings())
                return End::Done;
            for (std::size_t slave = 0; slave < plan_.slaves().size(); ++slave) {
                if (found_at_[slave])
                    continue;
                if (stop.requested())
                    return End::Stopped;
                show_progress(setting, slave);
                const int address = plan_.slaves()[slave];
                const MeterProbe::Outcome outcome =
                    probe_.probe(plan_.device_config(settings[setting], address));
                if (outcome.kind == MeterProbe::Outcome::Kind::LineFailed) {
                    if (!probed)
                        throw SetupFailure(kExitUsage, "");  // the back-end said why
                    return End::LineLost;
                }
                probed = true;
                if (outcome.kind == MeterProbe::Outcome::Kind::Answered)
                    take(settings[setting], slave, outcome.snapshot);
            }
        }
        return stop.requested() ? End::Stopped : End::Done;
    }

    void take(const ScanSetting& setting, std::size_t slave, std::string snapshot)
    {
        if (!snapshot.empty() && snapshot.back() == '\n')
            snapshot.pop_back();
        found_at_[slave] = true;
        found_.push_back({setting, plan_.slaves()[slave], std::move(snapshot)});
        progress_.clear();
        out_.write(found_line(plan_, found_.back(), json_));
    }

    // The longest the rest can take, from this probe on: every address left
    // silent, and further settings only while none has found meters.
    std::chrono::nanoseconds time_left(std::size_t setting, std::size_t slave) const
    {
        const auto& settings = plan_.settings();
        std::size_t untried_here = 0;
        for (std::size_t i = slave; i < found_at_.size(); ++i)
            untried_here += !found_at_[i];
        std::chrono::nanoseconds left = plan_.silent_probe_time(settings[setting]) *
                                        static_cast<long>(untried_here);
        if (!found_.empty() && !plan_.all_settings())
            return left;
        std::size_t not_found = 0;
        for (const bool found : found_at_)
            not_found += !found;
        for (std::size_t later = setting + 1; later < settings.size(); ++later)
            left += plan_.silent_probe_time(settings[later]) * static_cast<long>(not_found);
        return left;
    }

    void show_progress(std::size_t setting, std::size_t slave)
    {
        if (!progress_.shown())
            return;
        const std::string format =
            plan_.has_speed() ? " " + setting_text(plan_.settings()[setting]) : "";
        progress_.update(plan_.port() + format + ": slave " +
                         std::to_string(plan_.slaves()[slave]) + " | " +
                         std::to_string(found_.size()) + " found | " +
                         time_left_text(time_left(setting, slave)) + " | module output " +
                         std::to_string(module_lines()) + " lines");
    }

    unsigned long module_lines() const
    {
        std::lock_guard<std::mutex> lock(module_lines_mutex_);
        return module_lines_.total();
    }

    const ScanPlan& plan_;
    MeterProbe& probe_;
    HostOutput& out_;
    const bool json_;
    std::vector<bool> found_at_;  // by position in the address list
    std::vector<FoundMeter> found_;
    ScanProgress progress_;
    // The module's lines, counted while the progress line is shown.
    mutable std::mutex module_lines_mutex_;
    ModuleLineCounts module_lines_;
};

std::string meters(std::size_t count)
{
    return std::to_string(count) + (count == 1 ? " meter" : " meters");
}

}  // namespace

int run_scan(const HostOptions& options, HostOutput& out, const Reporter& report,
             MeterFrameObserver* trace)
{
    Json::Value port(Json::objectValue);
    port["port"] = options.lines.front().port;
    const devhost::LineSettingsResult line = devhost::parse_line_settings(port, 9600);
    if (!line.usable)
        throw SetupFailure(kExitUsage, line.error);
    const bool has_speed = devhost::make_line(line.settings)->has_speed();
    if (!has_speed && (options.scan.bauds.size() > 1 || options.scan.parities.size() > 1))
        report(line.settings.port +
               " has no speed or parity to set: only the addresses are tried, at the first "
               "speed and parity given");
    const ScanPlan plan(options, has_speed);

    const std::unique_ptr<devhost::LoadedModule> module = load_module(options.module, report);
    MeterProbe probe(*module, report);
    probe.set_observer(trace);
    StopSignal stop;
    Scan scan(plan, probe, out, options.json);
    const Scan::End end = scan.run(stop);

    const std::string found = meters(scan.found());
    switch (end) {
    case Scan::End::Stopped: report("scan of " + plan.port() + " stopped: " + found + " found so far"); break;
    case Scan::End::LineLost: report("scan of " + plan.port() + " ended: the line is lost; " + found + " found"); break;
    case Scan::End::Done:
        report(scan.found() == 0 ? "no meter answered on " + plan.port()
                                 : found + " found on " + plan.port());
        break;
    }
    if (end == Scan::End::LineLost)
        return kExitScanLineLost;
    return scan.found() == 0 ? kExitNoMeterFound : 0;
}

}  // namespace meterhost
