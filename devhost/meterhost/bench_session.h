// Everything one meterhost run sets up: the history store, the simulated
// line when no port is given, and per line its back-end with one
// module device per meter, each configured, bound to its line's back-end
// and with its port open. Torn down in the reverse order: the devices
// before the providers before the module.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "devhost/runtime/backends.h"
#include "devhost/meterhost/command_line.h"
#include "host/spmodbus.h"
#include "devhost/meterhost/host_config.h"
#include "devhost/meterhost/round_recorder.h"
#include "devhost/meterhost/simulated_line.h"
#include "devhost/lines/line_transport.h"

namespace devhost {
class HistoryStore;
class LineObserver;
class LoadedModule;
}
namespace meterhost {

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

// The module --module names (default: kalvorpowermeter.so beside meterhost),
// loaded, with one message naming its version and build id. Throws
// SetupFailure.
std::unique_ptr<devhost::LoadedModule> load_module(
    const HostOptions& options, const std::function<void(const std::string&)>& report);

struct MeterDevice {
    std::size_t index = 0;  // in the order of the configuration, over all lines
    std::string port;
    int slave = 1;
    std::uint32_t data_id = 0;
    std::unique_ptr<SPModbus> device;
    devhost::BackendBinding binding;
};

// One line: its back-end and its meters. Only the line's own thread
// drives them.
struct MeterLine {
    std::string port;
    std::unique_ptr<devhost::LineTransport> transport;
    std::vector<MeterDevice> meters;
};

class BenchSession {
public:
    using Reporter = std::function<void(const std::string&)>;

    // Throws SetupFailure.
    BenchSession(const HostOptions& options, const HostConfig& config, Reporter report);
    ~BenchSession();
    BenchSession(const BenchSession&) = delete;
    BenchSession& operator=(const BenchSession&) = delete;

    std::vector<MeterLine>& lines() { return lines_; }
    std::size_t meter_count() const;
    // The first meter and its line, for runs of one meter (write).
    SMDSPDevice& device() { return *lines_.front().meters.front().device; }
    devhost::LineTransport& transport() { return *lines_.front().transport; }
    const std::string& port() const { return lines_.front().port; }
    RoundRecorder& recorder() { return recorder_; }

    // Every frame of every line to the observer (a trace); null for none.
    void watch_lines(devhost::LineObserver* observer);

    // Offers the newest record stored for the meter's data id to its device;
    // true when it took it (which completes a round at once).
    bool restore_from_history(MeterDevice& meter);

private:
    void start_simulator(LineConfig& line);
    void load_devices(const HostConfig& config);
    void tear_down();

    HostOptions options_;
    Reporter report_;
    std::unique_ptr<devhost::HistoryStore> history_;
    std::unique_ptr<SimulatedLine> simulated_;
    RoundRecorder recorder_;
    std::unique_ptr<devhost::LoadedModule> module_;
    std::vector<MeterLine> lines_;
};

}  // namespace meterhost
