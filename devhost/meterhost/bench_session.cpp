#include "bench_session.h"

#include <climits>
#include <ctime>
#include <memory>

#include <unistd.h>

#include "history_store.h"
#include "host/spmodbus.h"
#include "module_identity.h"
#include "module_loader.h"
#include "simulator.h"

namespace meterhost {

namespace {

constexpr int kSimulatedDefaultBaud = 9600;

// kalvorpowermeter.so in the folder of the running executable.
std::string default_module_path()
{
    char self[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0)
        return "kalvorpowermeter.so";
    std::string path(self, static_cast<std::size_t>(length));
    return path.substr(0, path.rfind('/') + 1) + "kalvorpowermeter.so";
}

std::string local_time_text(std::int64_t unix_ms)
{
    const std::time_t seconds = static_cast<std::time_t>(unix_ms / 1000);
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

std::unique_ptr<devhost::HistoryStore> open_history(const std::string& path)
{
    if (path.empty())
        return nullptr;
    try {
        return std::make_unique<devhost::HistoryStore>(path);
    } catch (const std::exception& error) {
        throw SetupFailure(kExitUsage, error.what());
    }
}

}  // namespace

BenchSession::BenchSession(const HostOptions& options, const DeviceConfig& config,
                           Reporter report)
    : options_(options),
      report_(std::move(report)),
      history_(open_history(options_.history_file)),
      transport_(report_),
      recorder_(history_.get(), report_)
{
    Json::Value settings = config.json;
    if (config.simulated)
        start_simulator(settings);
    port_ = settings["port"].asString();
    devhost::install_modbus_transport(&transport_);
    devhost::install_record_sink(&recorder_);
    try {
        load_device(settings);
    } catch (...) {
        tear_down();  // the destructor does not run for a constructor that throws
        throw;
    }
}

void BenchSession::start_simulator(Json::Value& config)
{
    metersim::SimulatorOptions simulated;
    simulated.slave = config.get("slave", 1).asInt();
    simulated.baud = config.get("baud", kSimulatedDefaultBaud).asInt();
    simulated.parity = config.get("parity", "N").asString()[0];
    simulated.line_time = true;
    simulator_ = std::make_unique<metersim::Simulator>(std::move(simulated));
    try {
        simulator_->open();
    } catch (const std::exception& error) {
        throw SetupFailure(kExitUsage, std::string("cannot start the simulated meter: ") +
                                           error.what());
    }
    simulator_->start();
    config["port"] = simulator_->port_path();
    report_("no --port: using a simulated meter on " + simulator_->port_path());
}

void BenchSession::load_device(const Json::Value& config)
{
    const std::string path = options_.module.empty() ? default_module_path() : options_.module;
    try {
        module_ = std::make_unique<devhost::LoadedModule>(path);
        device_ = module_->create_device();
    } catch (const devhost::ModuleLoadError& error) {
        throw SetupFailure(kExitUsage, error.what());
    }
    report_("loaded " + path + ": " + devhost::describe(devhost::read_module_identity(path)));
    if (!device_->Init(std::weak_ptr<SMDController>(), options_.data_id, config))
        throw SetupFailure(kExitUsage, "the device rejected its configuration");
    // The back-end has said why already.
    if (device_->OpenPort() != 0)
        throw SetupFailure(kExitUsage, "");
}

bool BenchSession::restore_from_history()
{
    if (!history_)
        return false;
    const auto stored = history_->newest(device_->DataId());
    if (!stored)
        return false;
    const int taken = device_->LoadFromCache(stored->bytes.data(),
                                             static_cast<int>(stored->bytes.size()));
    if (taken == 0) {
        report_("history: the device did not take the newest stored record (" +
                std::to_string(stored->bytes.size()) + " bytes)");
        return false;
    }
    report_("restored the record stored " + local_time_text(stored->stored_at_ms) +
            " from history");
    return true;
}

BenchSession::~BenchSession() { tear_down(); }

void BenchSession::tear_down()
{
    if (device_ != nullptr) {
        transport_.forget(*device_);
        device_.reset();  // through the virtual destructor, in the module's code
    }
    module_.reset();  // providers, then the module itself
    devhost::install_record_sink(nullptr);
    devhost::install_modbus_transport(nullptr);
    simulator_.reset();
    history_.reset();
}

}  // namespace meterhost
