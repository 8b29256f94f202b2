#include "devhost/meterhost/line_poller.h"

#include <algorithm>
#include <cstdio>

#include "devhost/meterhost/snapshot_view.h"
#include "devhost/meterhost/stop_signal.h"

namespace meterhost {

namespace {

using Clock = std::chrono::steady_clock;

Clock::duration seconds(double value)
{
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(value));
}

std::string seconds_text(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g s", value);
    return text;
}

}  // namespace

LinePoller::LinePoller(MeterLine& line, RoundRecorder& recorder, MeterObserver& observer,
                       const HostOptions& options, Reporter report)
    : line_(line),
      recorder_(recorder),
      observer_(observer),
      options_(options),
      report_(std::move(report))
{
    for (MeterDevice& meter : line_.meters)
        polled_.push_back(
            {&meter, MeterHealth(seconds(options.retry_min_s), seconds(options.retry_max_s))});
}

std::string LinePoller::name(const MeterDevice& meter) const
{
    return "meter " + std::to_string(meter.slave) + " on " + meter.port;
}

void LinePoller::poll(Polled& polled)
{
    SMDSPDevice& device = *polled.meter->device;
    devhost::LineTransport& transport = *line_.transport;
    const auto before = transport.meter_counts(device);
    const unsigned long rounds_before = recorder_.rounds(device);
    device.RefreshStatus();
    transport.perform_pending();
    const auto after = transport.meter_counts(device);
    const bool answered = after.errors == before.errors && after.answered > before.answered;

    const MeterHealth::Change change = polled.health.record(answered, Clock::now());
    observer_.set_online(polled.meter->index, polled.health.online(), after.errors);
    switch (change) {
    case MeterHealth::Change::WentOffline:
        transport.set_quiet(device, true);
        report_(name(*polled.meter) + " is offline: " +
                std::to_string(MeterHealth::kFailuresToOffline) +
                " polls failed; tried again after " + seconds_text(options_.retry_min_s) +
                ", the wait doubling up to " + seconds_text(options_.retry_max_s));
        break;
    case MeterHealth::Change::CameBack:
        transport.set_quiet(device, false);
        report_(name(*polled.meter) + " answers again: online");
        break;
    case MeterHealth::Change::None:
        break;
    }
    if (recorder_.rounds(device) == rounds_before)
        return;
    ++polled.completed;
    const auto text = request_snapshot(device);
    if (!text) {
        report_("the device of " + name(*polled.meter) + " gave no snapshot (request " +
                std::to_string(kSnapshotTextRequest) + ")");
        return;
    }
    observer_.round_done(polled.meter->index, *text, polled.completed, after.errors);
}

bool LinePoller::finished() const
{
    if (!options_.rounds)
        return false;
    return std::all_of(polled_.begin(), polled_.end(), [&](const Polled& polled) {
        return polled.completed >= *options_.rounds || !polled.health.online();
    });
}

bool LinePoller::all_rounds_completed() const
{
    return !options_.rounds ||
           std::all_of(polled_.begin(), polled_.end(), [&](const Polled& polled) {
               return polled.completed >= *options_.rounds;
           });
}

Clock::time_point LinePoller::next_retry() const
{
    Clock::time_point earliest = Clock::time_point::max();
    for (const Polled& polled : polled_)
        earliest = std::min(earliest, polled.health.next_try());
    return earliest;
}

void LinePoller::run(const StopSignal& stop)
{
    const Clock::duration interval = seconds(options_.interval_s);
    Clock::time_point next_poll = Clock::now();
    while (!stop.requested()) {
        for (Polled& polled : polled_) {
            if (stop.requested())
                return;
            if (!polled.health.due(Clock::now()))
                continue;
            poll(polled);
            if (after_poll_)
                after_poll_(*polled.meter);
        }
        if (finished())
            return;
        // Polls keep their rhythm; one that overran starts the next at once.
        // With every meter offline, nothing is due before the first retry.
        next_poll = std::max({next_poll + interval, Clock::now(), next_retry()});
        if (stop.wait_until(next_poll))
            return;
    }
}

}  // namespace meterhost
