#include "devhost/meterhost/bench_session.h"

#include <climits>
#include <ctime>
#include <memory>

#include <unistd.h>

#include "devhost/history/history_store.h"
#include "host/spmodbus.h"
#include "devhost/runtime/module_identity.h"
#include "devhost/runtime/module_loader.h"
#include "devhost/lines/line_transport.h"

namespace meterhost {

namespace {

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

BenchSession::BenchSession(const HostOptions& options, const HostConfig& config,
                           Reporter report)
    : options_(options),
      report_(std::move(report)),
      history_(open_history(options_.history_file)),
      recorder_(history_.get(), report_)
{
    HostConfig lines = config;
    if (lines.simulated())
        start_simulator(lines.lines.front());
    try {
        load_devices(lines);
    } catch (...) {
        tear_down();  // the destructor does not run for a constructor that throws
        throw;
    }
}

void BenchSession::start_simulator(LineConfig& line)
{
    std::vector<int> addresses;
    for (const MeterConfig& meter : line.meters)
        addresses.push_back(meter.slave);
    try {
        simulated_ = std::make_unique<SimulatedLine>(addresses, line.baud, line.parity);
    } catch (const std::exception& error) {
        throw SetupFailure(kExitUsage, std::string("cannot start the simulated meter: ") +
                                           error.what());
    }
    line.port = simulated_->port();
    for (MeterConfig& meter : line.meters)
        meter.json["port"] = line.port;
    std::string slaves;
    for (const MeterConfig& meter : line.meters)
        slaves += (slaves.empty() ? " " : ", ") + std::to_string(meter.slave);
    report_(line.meters.size() == 1 ? "no --port: using a simulated meter on " + line.port
                                    : "no --port: using simulated meters" + slaves + " on " +
                                          line.port);
}

std::unique_ptr<devhost::LoadedModule> load_module(
    const HostOptions& options, const std::function<void(const std::string&)>& report)
{
    const std::string path = options.module.empty() ? default_module_path() : options.module;
    std::unique_ptr<devhost::LoadedModule> module;
    try {
        module = std::make_unique<devhost::LoadedModule>(path);
    } catch (const devhost::ModuleLoadError& error) {
        throw SetupFailure(kExitUsage, error.what());
    }
    report("loaded " + path + ": " + devhost::describe(devhost::read_module_identity(path)));
    return module;
}

void BenchSession::load_devices(const HostConfig& config)
{
    module_ = load_module(options_, report_);
    std::size_t index = 0;
    lines_.reserve(config.lines.size());
    for (const LineConfig& line_config : config.lines) {
        MeterLine& line = lines_.emplace_back();
        line.port = line_config.port;
        line.transport = std::make_unique<devhost::LineTransport>(report_);
        line.meters.reserve(line_config.meters.size());
        for (const MeterConfig& meter_config : line_config.meters) {
            MeterDevice& meter = line.meters.emplace_back();
            meter.index = index++;
            meter.port = line.port;
            meter.slave = meter_config.slave;
            meter.data_id = meter_config.data_id;
            try {
                meter.device = module_->create_device();
            } catch (const devhost::ModuleLoadError& error) {
                throw SetupFailure(kExitUsage, error.what());
            }
            meter.binding =
                devhost::bind_backends(*meter.device, {line.transport.get(), &recorder_, nullptr});
            if (!meter.device->Init(std::weak_ptr<SMDController>(), meter.data_id,
                                    meter_config.json))
                throw SetupFailure(kExitUsage, "the device for slave " +
                                                   std::to_string(meter.slave) + " on " +
                                                   line.port + " rejected its configuration");
            // The back-end has said why already.
            if (meter.device->OpenPort() != 0)
                throw SetupFailure(kExitUsage, "");
        }
    }
}

std::size_t BenchSession::meter_count() const
{
    std::size_t count = 0;
    for (const MeterLine& line : lines_)
        count += line.meters.size();
    return count;
}

void BenchSession::watch_lines(devhost::LineObserver* observer)
{
    for (MeterLine& line : lines_)
        line.transport->set_observer(observer);
}

bool BenchSession::restore_from_history(MeterDevice& meter)
{
    if (!history_)
        return false;
    const auto stored = history_->newest(meter.data_id);
    if (!stored)
        return false;
    const int taken = meter.device->LoadFromCache(stored->bytes.data(),
                                                  static_cast<int>(stored->bytes.size()));
    const std::string which = meter_count() > 1 ? "slave " + std::to_string(meter.slave) + " on " +
                                                      meter.port + ": "
                                                : "";
    if (taken == 0) {
        report_("history: " + which + "the device did not take the newest stored record (" +
                std::to_string(stored->bytes.size()) + " bytes)");
        return false;
    }
    report_(which + "restored the record stored " + local_time_text(stored->stored_at_ms) +
            " from history");
    return true;
}

BenchSession::~BenchSession() { tear_down(); }

void BenchSession::tear_down()
{
    for (MeterLine& line : lines_) {
        for (MeterDevice& meter : line.meters) {
            if (meter.device != nullptr)
                line.transport->forget(*meter.device);
            meter.device.reset();  // through the virtual destructor, in the module's code
            meter.binding.reset();
        }
    }
    lines_.clear();
    module_.reset();  // providers, then the module itself
    simulated_.reset();
    history_.reset();
}

}  // namespace meterhost
