// Polls the meters of one line of a session in turn, on the calling thread,
// one transaction on the line at a time; a meter that stops answering goes
// offline and is tried only now and then (meter_health.h), so the others
// keep their rate. What each poll did goes to the session's events.
#pragma once

#include <chrono>
#include <vector>

#include "devhost/meterhost/bench_session.h"
#include "devhost/meterhost/meter_health.h"
#include "devhost/meterhost/session_events.h"
#include "devhost/meterhost/session_options.h"

namespace meterhost {

class StopSignal;

class LinePoller {
public:
    LinePoller(MeterLine& line, const PollPolicy& policy, SessionEvents& events);

    // Until a stop request, or, with policy.rounds, until every meter has
    // completed them or is offline.
    void run(const StopSignal& stop);

    // True when every meter completed its rounds (or none were asked for).
    bool all_rounds_completed() const;

private:
    struct Polled {
        MeterDevice* meter;
        MeterHealth health;
        unsigned long completed = 0;  // polled rounds, not the one from history
    };

    PollOutcome poll(Polled& polled);
    void tell(const Polled& polled, const PollOutcome& outcome);
    bool finished() const;
    std::chrono::steady_clock::time_point next_retry() const;

    MeterLine& line_;
    const PollPolicy& policy_;
    SessionEvents& events_;
    std::vector<Polled> polled_;
};

}  // namespace meterhost
