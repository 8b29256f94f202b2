#include <chrono>
#include <iostream>

#include "commands.h"
#include "host/smd_spdevice.h"
#include "snapshot_view.h"
#include "stop_signal.h"

namespace meterhost {

namespace {

constexpr char kClearScreen[] = "\x1b[H\x1b[2J";

class RoundPrinter {
public:
    RoundPrinter(BenchSession& session, const HostOptions& options, HostOutput& out)
        : session_(session), options_(options), out_(out)
    {
    }

    void show(unsigned long rounds)
    {
        const auto text = request_snapshot(session_.device());
        if (!text) {
            std::cerr << "meterhost: the device gave no snapshot (request "
                      << kSnapshotTextRequest << ")" << std::endl;
            return;
        }
        if (options_.json) {
            out_.write(*text);
            return;
        }
        const TableStatus status{session_.port(), rounds, session_.transport().error_count()};
        const std::string table = render_snapshot_table(*text, status);
        out_.write(out_.is_terminal() ? kClearScreen + table : table + "\n");
    }

private:
    BenchSession& session_;
    const HostOptions& options_;
    HostOutput& out_;
};

}  // namespace

int run_poll(BenchSession& session, const HostOptions& options, HostOutput& out)
{
    StopSignal stop;
    RoundPrinter printer(session, options, out);
    if (session.restore_from_history())
        printer.show(0);

    const auto interval = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(options.interval_s));
    auto next_poll = std::chrono::steady_clock::now();
    unsigned long completed = 0;
    while (!stop.requested()) {
        const unsigned long published_before = session.recorder().rounds();
        session.device().RefreshStatus();
        session.transport().perform_pending();
        if (session.recorder().rounds() > published_before)
            printer.show(++completed);
        if (options.rounds && completed >= *options.rounds)
            break;
        // Polls keep their rhythm; one that overran starts the next at once.
        next_poll = std::max(next_poll + interval, std::chrono::steady_clock::now());
        if (stop.wait_until(next_poll))
            break;
    }
    return 0;
}

}  // namespace meterhost
