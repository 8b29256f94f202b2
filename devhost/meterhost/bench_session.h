// A bench session: everything one run over meters sets up, and its polling.
// It opens the history store, starts the simulated line when it is to drive
// one, loads the module, and per line makes its back-end with one module
// device per meter, each configured, bound to its line's back-end and its own
// record sink and with its port open. What happens comes out as typed events
// (session_events.h). Torn down in the reverse order: the devices before the
// providers before the module.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "devhost/lines/line_transport.h"
#include "devhost/meterhost/meter_frames.h"
#include "devhost/meterhost/meter_identity.h"
#include "devhost/meterhost/meter_records.h"
#include "devhost/meterhost/reporter.h"
#include "devhost/meterhost/session_events.h"
#include "devhost/meterhost/session_options.h"
#include "devhost/meterhost/simulated_line.h"
#include "devhost/runtime/backends.h"
#include "host/spmodbus.h"

namespace devhost {
class HistoryStore;
class LoadedModule;
}
namespace meterhost {

class StopSignal;

// A run that cannot start: the message for standard error (empty when it has
// been given already) and the exit status.
struct SetupFailure : std::runtime_error {
    SetupFailure(int status, const std::string& message)
        : std::runtime_error(message), exit_status(status)
    {
    }
    int exit_status;
};

constexpr int kExitUsage = 2;  // command line, configuration, port or module unusable

// The module at `path` (empty: kalvorpowermeter.so beside the executable),
// loaded, with one message naming its version and build id. Throws
// SetupFailure.
std::unique_ptr<devhost::LoadedModule> load_module(const std::string& path,
                                                   const Reporter& report);

// What a register write came to, as the meter's device tells it.
struct WriteOutcome {
    static constexpr std::int32_t kConfirmed = 1;  // the meter echoed the write
    static constexpr std::int32_t kRefused = 3;    // its reply did not echo it
    static constexpr std::int32_t kPending = -1;   // no reply taken
    static constexpr std::int32_t kNoAnswer = -2;  // the device did not answer the query

    std::int32_t answer = kNoAnswer;
    std::string last_failure;  // the latest failed exchange of the meter's line, or empty
};

// One meter: who it is, its device, where its device's records go, and
// what its transactions came to so far (kept on its line's thread).
struct MeterDevice {
    MeterIdentity id;
    std::unique_ptr<MeterRecords> records;
    std::unique_ptr<SPModbus> device;
    devhost::BackendBinding binding;
    unsigned long failures = 0;  // its failed transactions, polls and writes
    bool told_offline = false;   // said to be offline: its failures are not reported
};

// One line: its back-end and its meters. Only the line's own thread
// drives them.
struct MeterLine {
    std::string port;
    std::unique_ptr<MeterFrames> frames;  // while its frames are watched
    std::unique_ptr<devhost::LineTransport> transport;
    std::vector<std::unique_ptr<MeterDevice>> meters;
};

// Carries out the requests queued on the line, reporting their failures
// unless `meter` is told offline (they are the meter's own: a device queues
// requests only while its line's thread calls into it); each failure counts
// against the meter whose request it was. True when `meter` made requests
// and every one was answered.
bool perform_for(MeterLine& line, MeterDevice& meter);

class BenchSession final : private devhost::LineListener {
public:
    // Throws SetupFailure. The events outlive the session.
    BenchSession(SessionOptions options, SessionEvents& events);
    ~BenchSession();
    BenchSession(const BenchSession&) = delete;
    BenchSession& operator=(const BenchSession&) = delete;

    // Every meter, in the order of the options over all lines.
    const std::vector<MeterIdentity>& meters() const { return identities_; }
    // The lines' ports, in order (a simulated line's as it runs).
    std::vector<std::string> ports() const;

    // Every frame of every line to the observer (a trace), named by its
    // meter; null for none.
    void watch_lines(MeterFrameObserver* observer);

    // Offers each meter's device the newest record stored for its data id;
    // one that takes it completes a round at once, told as round_done with
    // rounds 0.
    void restore_from_history();

    // Polls every line until a stop request or, with policy.rounds, until
    // every meter has completed them or is offline: one line on the calling
    // thread, several each on a thread of its own, as a gateway runs its
    // serial ports. True when every meter completed its rounds (always
    // without policy.rounds).
    bool poll(const PollPolicy& policy, const StopSignal& stop);

    // Writes the values to the meter's registers from `address` on, through
    // its device, and asks the device how it went. Only on the meter's line
    // thread: from polled(), or while the session does not poll.
    WriteOutcome write_registers(std::size_t meter, std::uint16_t address,
                                 const std::vector<std::uint16_t>& values);

    // The meter's device, for requests that make no transaction (snapshot
    // text, values), from any thread.
    SPModbus& device(std::size_t meter) { return *devices_.at(meter)->device; }
    // Failed exchanges on the line so far; while the session does not
    // poll.
    unsigned long line_errors(std::size_t line) const;

private:
    void start_simulator(LineSetup& line);
    void load_devices(const SessionOptions& options);
    void tear_down();
    void line_lost(const std::string& port) override { events_.line_lost(port); }
    void line_back(const std::string& port) override { events_.line_back(port); }

    SessionEvents& events_;
    Reporter report_;
    std::unique_ptr<devhost::HistoryStore> history_;
    std::unique_ptr<SimulatedLine> simulated_;
    std::unique_ptr<devhost::LoadedModule> module_;
    std::vector<MeterLine> lines_;
    std::vector<MeterIdentity> identities_;
    std::vector<MeterDevice*> devices_;  // by meter index
};

}  // namespace meterhost
