#include <memory>
#include <thread>
#include <vector>

#include "commands.h"
#include "line_poller.h"
#include "meter_board.h"
#include "snapshot_view.h"
#include "stop_signal.h"

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
    StopSignal stop;
    const auto report = [&messages](const std::string& line) { messages.report(line); };
    MeterBoard board(out, options.json, json_tag(session), rows_of(session));
    MeterObserver& observer = board;
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
    if (stop.requested())
        return 0;
    for (const auto& poller : pollers)
        if (!poller->all_rounds_completed())
            return kExitMeterOffline;
    return 0;
}

}  // namespace meterhost
