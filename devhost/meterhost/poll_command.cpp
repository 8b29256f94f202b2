#include <memory>
#include <thread>
#include <vector>

#include "devhost/meterhost/commands.h"
#include "devhost/meterhost/line_poller.h"
#include "devhost/meterhost/live_view.h"
#include "devhost/meterhost/meter_board.h"
#include "devhost/meterhost/snapshot_view.h"
#include "devhost/meterhost/stop_signal.h"

namespace meterhost {

namespace {

JsonTag json_tag(BenchSession& session)
{
    if (session.lines().size() > 1)
        return JsonTag::PortAndSlave;
    return session.meter_count() > 1 ? JsonTag::Slave : JsonTag::None;
}

std::vector<MeterRow> rows_of(BenchSession& session)
{
    std::vector<MeterRow> rows(session.meter_count());
    for (MeterLine& line : session.lines())
        for (MeterDevice& meter : line.meters) {
            rows[meter.index].port = meter.port;
            rows[meter.index].slave = meter.slave;
        }
    return rows;
}

// The live view of the session's meters on the terminal of `out`, started;
// null when the output is not for it (JSON, not a terminal) or the terminal
// cannot take it.
std::unique_ptr<LiveView> start_live_view(BenchSession& session, const HostOptions& options,
                                          HostOutput& out, HostMessages& messages)
{
    if (options.json || !out.is_terminal())
        return nullptr;
    std::vector<std::string> ports;
    std::vector<ViewMeter> meters(session.meter_count());
    for (MeterLine& line : session.lines()) {
        for (MeterDevice& meter : line.meters) {
            meters[meter.index].line = ports.size();
            meters[meter.index].slave = meter.slave;
        }
        ports.push_back(line.port);
    }
    auto view = std::make_unique<LiveView>(std::move(ports), std::move(meters));
    std::string why;
    if (view->start(out, messages, why))
        return view;
    messages.report("no live view (" + why + "): printing a table per round");
    return nullptr;
}

// Meters with a record in the history show it first, as round 0.
void restore_from_history(BenchSession& session, MeterObserver& observer)
{
    for (MeterLine& line : session.lines())
        for (MeterDevice& meter : line.meters) {
            if (!session.restore_from_history(meter))
                continue;
            if (const auto text = request_snapshot(*meter.device))
                observer.round_done(meter.index, *text, 0, 0);
        }
}

}  // namespace

int run_poll(BenchSession& session, const HostOptions& options, HostOutput& out,
             HostMessages& messages)
{
    // Installed before the view starts, so that ncurses leaves Ctrl-C to it.
    StopSignal stop;
    const auto report = [&messages](const std::string& line) { messages.report(line); };
    MeterBoard board(out, options.json, json_tag(session), rows_of(session));
    const std::unique_ptr<LiveView> view = start_live_view(session, options, out, messages);
    MeterObserver& observer = view ? static_cast<MeterObserver&>(*view) : board;
    restore_from_history(session, observer);

    std::vector<std::unique_ptr<LinePoller>> pollers;
    for (MeterLine& line : session.lines())
        pollers.push_back(
            std::make_unique<LinePoller>(line, session.recorder(), observer, options, report));
    if (pollers.size() == 1) {
        pollers.front()->run(stop);
    } else {
        // One thread per line, as a gateway runs its serial ports.
        std::vector<std::thread> threads;
        for (auto& poller : pollers)
            threads.emplace_back([&poller, &stop] { poller->run(stop); });
        for (std::thread& thread : threads)
            thread.join();
    }
    if (view)
        view->stop();
    if (stop.requested())
        return 0;
    for (const auto& poller : pollers)
        if (!poller->all_rounds_completed())
            return kExitMeterOffline;
    return 0;
}

}  // namespace meterhost
