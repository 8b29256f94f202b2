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

LinePoller::LinePoller(MeterLine& line, const PollPolicy& policy, SessionEvents& events)
    : line_(line), policy_(policy), events_(events)
{
    for (auto& meter : line_.meters)
        polled_.push_back({meter.get(),
                           MeterHealth(seconds(policy.retry_min_s), seconds(policy.retry_max_s))});
}

PollOutcome LinePoller::poll(Polled& polled)
{
    MeterDevice& meter = *polled.meter;
    PollOutcome outcome;
    meter.records->mark();
    meter.device->RefreshStatus();
    outcome.answered = perform_for(line_, meter);
    outcome.round_done = meter.records->published();
    outcome.change = polled.health.record(outcome.answered, Clock::now());
    outcome.online = polled.health.online();
    outcome.errors = meter.failures;
    if (outcome.change != MeterHealth::Change::None)
        // An offline meter's failures are expected: they are not reported.
        meter.told_offline = !outcome.online;
    if (outcome.round_done)
        ++polled.completed;
    outcome.rounds = polled.completed;
    return outcome;
}

void LinePoller::tell(const Polled& polled, const PollOutcome& outcome)
{
    const MeterIdentity& meter = polled.meter->id;
    switch (outcome.change) {
    case MeterHealth::Change::WentOffline:
        events_.went_offline(meter);
        events_.message(meter_name(meter) + " is offline: " +
                        std::to_string(MeterHealth::kFailuresToOffline) +
                        " polls failed; tried again after " + seconds_text(policy_.retry_min_s) +
                        ", the wait doubling up to " + seconds_text(policy_.retry_max_s));
        break;
    case MeterHealth::Change::CameBack:
        events_.back_online(meter);
        events_.message(meter_name(meter) + " answers again: online");
        break;
    case MeterHealth::Change::None:
        break;
    }
    if (outcome.round_done) {
        if (const auto text = request_snapshot(*polled.meter->device))
            events_.round_done(meter, *text, outcome.rounds, outcome.errors);
        else
            events_.message("the device of " + meter_name(meter) + " gave no snapshot (request " +
                            std::to_string(kSnapshotTextRequest) + ")");
    }
    events_.polled(meter, outcome);
}

bool LinePoller::finished() const
{
    if (!policy_.rounds)
        return false;
    return std::all_of(polled_.begin(), polled_.end(), [&](const Polled& polled) {
        return polled.completed >= *policy_.rounds || !polled.health.online();
    });
}

bool LinePoller::all_rounds_completed() const
{
    return !policy_.rounds ||
           std::all_of(polled_.begin(), polled_.end(), [&](const Polled& polled) {
               return polled.completed >= *policy_.rounds;
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
    const Clock::duration interval = seconds(policy_.interval_s);
    Clock::time_point next_poll = Clock::now();
    while (!stop.requested()) {
        for (Polled& polled : polled_) {
            if (stop.requested())
                return;
            if (!polled.health.due(Clock::now()))
                continue;
            tell(polled, poll(polled));
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
