// Polls the meters of one line in turn, on the calling thread, one
// transaction on the line at a time; a meter that stops answering goes
// offline and is tried only now and then (meter_health.h), so the others
// keep their rate.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "devhost/meterhost/bench_session.h"
#include "devhost/meterhost/meter_health.h"
#include "devhost/meterhost/meter_observer.h"

namespace meterhost {

class StopSignal;

class LinePoller {
public:
    using Reporter = std::function<void(const std::string&)>;

    LinePoller(MeterLine& line, RoundRecorder& recorder, MeterObserver& observer,
               const HostOptions& options, Reporter report);

    // Until a stop request, or, with --rounds, until every meter has
    // completed them or is offline.
    void run(const StopSignal& stop);

    // True when every meter completed its rounds (or no --rounds was given).
    bool all_rounds_completed() const;

    // Called on the line's thread after each poll with the meter polled, so
    // that a host can put its own transactions (writes) between the polls.
    using AfterPoll = std::function<void(MeterDevice&)>;
    void set_after_poll(AfterPoll hook) { after_poll_ = std::move(hook); }

private:
    struct Polled {
        MeterDevice* meter;
        MeterHealth health;
        unsigned long completed = 0;  // polled rounds, not the one from history
    };

    void poll(Polled& polled);
    bool finished() const;
    std::chrono::steady_clock::time_point next_retry() const;
    std::string name(const MeterDevice& meter) const;

    MeterLine& line_;
    RoundRecorder& recorder_;
    MeterObserver& observer_;
    const HostOptions& options_;
    Reporter report_;
    std::vector<Polled> polled_;
    AfterPoll after_poll_;
};

}  // namespace meterhost
