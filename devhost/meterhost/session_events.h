// What a bench session tells while it sets up and polls, as typed events,
// for whatever shows them or checks them: meterhost's output and live view,
// the soak. Called from every line's thread, concurrently; each handler
// returns at once (the line waits for it). Every event has a default that
// ignores it.
#pragma once

#include <string>

#include "devhost/meterhost/meter_health.h"
#include "devhost/meterhost/meter_identity.h"
#include "devhost/meterhost/reporter.h"

namespace meterhost {

// What one poll of a meter did.
struct PollOutcome {
    bool answered = false;    // every exchange of the poll was answered
    bool round_done = false;  // the device completed a round: it published a record
    MeterHealth::Change change = MeterHealth::Change::None;
    bool online = true;        // the meter's state after the poll
    unsigned long rounds = 0;  // rounds its polls completed so far (not one from history)
    unsigned long errors = 0;  // its failed exchanges so far
};

class SessionEvents {
public:
    virtual ~SessionEvents() = default;

    // A message for the user, one line ("meterhost: TEXT" on standard
    // error). Events worth telling come with one, besides their own call.
    virtual void message(const std::string& /*text*/) {}

    // The meter stopped answering (its message says when it is tried
    // again), or answers again.
    virtual void went_offline(const MeterIdentity& /*meter*/) {}
    virtual void back_online(const MeterIdentity& /*meter*/) {}

    // A round of the meter completed with this snapshot text; rounds and
    // errors are its counts so far. Rounds 0: the record restored from the
    // history, before any poll.
    virtual void round_done(const MeterIdentity& /*meter*/, const std::string& /*snapshot_text*/,
                            unsigned long /*rounds*/, unsigned long /*errors*/)
    {
    }

    // A poll of the meter is over; called last for it, on its line's
    // thread, where the handler may make transactions of its own with the
    // meter (BenchSession::write_registers) before the next poll.
    virtual void polled(const MeterIdentity& /*meter*/, const PollOutcome& /*outcome*/) {}

    // The line on this port failed (it is reopened at the next poll), or
    // opened again after that.
    virtual void line_lost(const std::string& /*port*/) {}
    virtual void line_back(const std::string& /*port*/) {}

    // A record the meter's device published (one per completed round), as
    // it published it, before the session counts it.
    virtual void record_published(const MeterIdentity& /*meter*/, int /*kind*/,
                                  const unsigned char* /*data*/, unsigned int /*length*/)
    {
    }
};

// Events of which only the messages matter, handed to a reporter.
class ReportedMessages final : public SessionEvents {
public:
    explicit ReportedMessages(Reporter report) : report_(std::move(report)) {}
    void message(const std::string& text) override { report_(text); }

private:
    Reporter report_;
};

}  // namespace meterhost
