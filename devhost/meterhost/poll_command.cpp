#include <atomic>
#include <memory>
#include <vector>

#include "devhost/meterhost/commands.h"
#include "devhost/meterhost/host_session.h"
#include "devhost/meterhost/live_view.h"
#include "devhost/meterhost/meter_board.h"
#include "devhost/meterhost/stop_signal.h"

namespace meterhost {

namespace {

// A polling run's events: messages to meterhost's messages, the meters'
// rounds and states to what shows them (the board or the live view) once
// that is chosen.
class ShownEvents final : public SessionEvents {
public:
    explicit ShownEvents(HostMessages& messages) : messages_(messages) {}

    void show_on(SessionEvents* display) { display_ = display; }

    void message(const std::string& text) override { messages_.report(text); }
    void round_done(const MeterIdentity& meter, const std::string& snapshot_text,
                    unsigned long rounds, unsigned long errors) override
    {
        if (SessionEvents* display = display_)
            display->round_done(meter, snapshot_text, rounds, errors);
    }
    void polled(const MeterIdentity& meter, const PollOutcome& outcome) override
    {
        if (SessionEvents* display = display_)
            display->polled(meter, outcome);
    }

private:
    HostMessages& messages_;
    std::atomic<SessionEvents*> display_{nullptr};
};

JsonTag json_tag(const BenchSession& session)
{
    if (session.ports().size() > 1)
        return JsonTag::PortAndSlave;
    return session.meters().size() > 1 ? JsonTag::Slave : JsonTag::None;
}

// The live view of the session's meters on the terminal of `out`, started;
// null when the output is not for it (JSON, not a terminal) or the terminal
// cannot take it.
std::unique_ptr<LiveView> start_live_view(const BenchSession& session, const HostOptions& options,
                                          HostOutput& out, HostMessages& messages)
{
    if (options.json || !out.is_terminal())
        return nullptr;
    auto view = std::make_unique<LiveView>(session.ports(), session.meters());
    std::string why;
    if (view->start(out, messages, why))
        return view;
    messages.report("no live view (" + why + "): printing a table per round");
    return nullptr;
}

}  // namespace

int run_poll(const HostOptions& options, const HostConfig& config, HostOutput& out,
             HostMessages& messages, MeterFrameObserver* trace)
{
    ShownEvents events(messages);
    BenchSession session(session_options(options, config), events);
    session.watch_lines(trace);
    // Installed before the view starts, so that ncurses leaves Ctrl-C to it.
    StopSignal stop;
    MeterBoard board(out, options.json, json_tag(session), session.meters());
    const std::unique_ptr<LiveView> view = start_live_view(session, options, out, messages);
    events.show_on(view ? static_cast<SessionEvents*>(view.get()) : &board);
    // Meters with a record in the history show it first, as round 0.
    session.restore_from_history();

    const bool completed = session.poll(poll_policy(options), stop);
    events.show_on(nullptr);
    if (view)
        view->stop();
    if (stop.requested())
        return 0;
    return completed ? 0 : kExitMeterOffline;
}

}  // namespace meterhost
