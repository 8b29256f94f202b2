// Everything one meterhost run sets up: the history store, the simulated
// meter when no port is given, the serial back-end and record sink, the
// module and its device, configured and with its port open. Torn down in
// the reverse order, the device before the providers before the module.
#pragma once

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "command_line.h"
#include "device_config.h"
#include "host/spmodbus.h"
#include "round_recorder.h"
#include "rtu_transport.h"

namespace devhost {
class HistoryStore;
class LoadedModule;
}
namespace metersim {
class Simulator;
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

class BenchSession {
public:
    using Reporter = std::function<void(const std::string&)>;

    // Throws SetupFailure.
    BenchSession(const HostOptions& options, const DeviceConfig& config, Reporter report);
    ~BenchSession();
    BenchSession(const BenchSession&) = delete;
    BenchSession& operator=(const BenchSession&) = delete;

    SMDSPDevice& device() { return *device_; }
    devhost::RtuTransport& transport() { return transport_; }
    const RoundRecorder& recorder() const { return recorder_; }
    const std::string& port() const { return port_; }

    // Offers the newest record stored for the device's data id to the
    // device; true when it took it (which completes a round at once).
    bool restore_from_history();

private:
    void start_simulator(Json::Value& config);
    void load_device(const Json::Value& config);
    void tear_down();

    HostOptions options_;
    Reporter report_;
    std::string port_;
    std::unique_ptr<devhost::HistoryStore> history_;
    std::unique_ptr<metersim::Simulator> simulator_;
    devhost::RtuTransport transport_;
    RoundRecorder recorder_;
    std::unique_ptr<devhost::LoadedModule> module_;
    std::unique_ptr<SPModbus> device_;
    devhost::BackendBinding binding_;
};

}  // namespace meterhost
