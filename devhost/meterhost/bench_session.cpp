#include "devhost/meterhost/bench_session.h"

#include <climits>
#include <ctime>
#include <memory>
#include <thread>

#include <unistd.h>

#include "devhost/history/history_store.h"
#include "devhost/meterhost/line_poller.h"
#include "devhost/meterhost/snapshot_view.h"
#include "devhost/runtime/module_identity.h"
#include "devhost/runtime/module_loader.h"
#include "host/spmodbus.h"
#include "devhost/meterhost/simulated_line.h"

namespace meterhost {

namespace {

// Control requests of the device for writes, and its outcome query.
constexpr int kWriteRegister = 206;
constexpr int kWriteRegisters = 210;
constexpr int kOutcomeQuery = 0;  // any code without a meaning of its own

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

// The options are not kept: once the devices have taken their
// configuration, a copy of every meter's would only cost memory.
BenchSession::BenchSession(SessionOptions options, SessionEvents& events)
    : events_(events),
      report_([&events](const std::string& text) { events.message(text); }),
      history_(open_history(options.history_file))
{
    if (options.simulated())
        start_simulator(options.lines.front());
    try {
        load_devices(options);
    } catch (...) {
        tear_down();  // the destructor does not run for a constructor that throws
        throw;
    }
}

void BenchSession::start_simulator(LineSetup& line)
{
    std::vector<int> addresses;
    for (const MeterSetup& meter : line.meters)
        addresses.push_back(meter.slave);
    try {
        simulated_ = std::make_unique<SimulatedLine>(addresses, line.baud, line.parity);
    } catch (const std::exception& error) {
        throw SetupFailure(kExitUsage, std::string("cannot start the simulated meter: ") +
                                           error.what());
    }
    line.port = simulated_->port();
    for (MeterSetup& meter : line.meters)
        meter.json["port"] = line.port;
    std::string slaves;
    for (const MeterSetup& meter : line.meters)
        slaves += (slaves.empty() ? " " : ", ") + std::to_string(meter.slave);
    report_(line.meters.size() == 1 ? "no --port: using a simulated meter on " + line.port
                                    : "no --port: using simulated meters" + slaves + " on " +
                                          line.port);
}

std::unique_ptr<devhost::LoadedModule> load_module(const std::string& module,
                                                   const Reporter& report)
{
    const std::string path = module.empty() ? default_module_path() : module;
    std::unique_ptr<devhost::LoadedModule> loaded;
    try {
        loaded = std::make_unique<devhost::LoadedModule>(path);
    } catch (const devhost::ModuleLoadError& error) {
        throw SetupFailure(kExitUsage, error.what());
    }
    report("loaded " + path + ": " + devhost::describe(devhost::read_module_identity(path)));
    return loaded;
}

bool perform_for(MeterLine& line, MeterDevice& meter)
{
    using Failures = devhost::LineTransport::Failures;
    const auto done =
        line.transport->perform_pending(meter.told_offline ? Failures::Quiet : Failures::Reported);
    bool made = false;
    bool all_answered = true;
    for (const devhost::Transaction& transaction : done) {
        const bool own = transaction.device == meter.device.get();
        made = made || own;
        all_answered = all_answered && (transaction.answered || !own);
        if (transaction.answered)
            continue;
        for (auto& other : line.meters)
            if (other->device.get() == transaction.device)
                ++other->failures;
    }
    return made && all_answered;
}

void BenchSession::load_devices(const SessionOptions& options)
{
    module_ = load_module(options.module, report_);
    std::size_t index = 0;
    lines_.reserve(options.lines.size());
    for (const LineSetup& setup : options.lines) {
        const std::size_t line_index = lines_.size();
        MeterLine& line = lines_.emplace_back();
        line.port = setup.port;
        line.transport = std::make_unique<devhost::LineTransport>(report_);
        line.transport->set_listener(this);
        for (const MeterSetup& meter_setup : setup.meters) {
            MeterDevice& meter = *line.meters.emplace_back(std::make_unique<MeterDevice>());
            meter.id = {index++, line_index, line.port, meter_setup.slave, meter_setup.data_id};
            identities_.push_back(meter.id);
            devices_.push_back(&meter);
            meter.records = std::make_unique<MeterRecords>(meter.id, history_.get(), events_);
            try {
                meter.device = module_->create_device();
            } catch (const devhost::ModuleLoadError& error) {
                throw SetupFailure(kExitUsage, error.what());
            }
            meter.binding = devhost::bind_backends(
                *meter.device, {line.transport.get(), meter.records.get(), nullptr});
            if (!meter.device->Init(std::weak_ptr<SMDController>(), meter.id.data_id,
                                    meter_setup.json))
                throw SetupFailure(kExitUsage, "the device for slave " +
                                                   std::to_string(meter.id.slave) + " on " +
                                                   line.port + " rejected its configuration");
            // The back-end has said why already.
            if (meter.device->OpenPort() != 0)
                throw SetupFailure(kExitUsage, "");
        }
    }
}

std::vector<std::string> BenchSession::ports() const
{
    std::vector<std::string> ports;
    for (const MeterLine& line : lines_)
        ports.push_back(line.port);
    return ports;
}

void BenchSession::watch_lines(MeterFrameObserver* observer)
{
    for (MeterLine& line : lines_) {
        std::vector<MeterIdentity> meters;
        for (const auto& meter : line.meters)
            meters.push_back(meter->id);
        auto frames = observer != nullptr ? std::make_unique<MeterFrames>(*observer, meters)
                                          : nullptr;
        line.transport->set_observer(frames.get());
        line.frames = std::move(frames);
    }
}

void BenchSession::restore_from_history()
{
    if (!history_)
        return;
    for (MeterDevice* meter : devices_) {
        const auto stored = history_->newest(meter->id.data_id);
        if (!stored)
            continue;
        const int taken = meter->device->LoadFromCache(stored->bytes.data(),
                                                       static_cast<int>(stored->bytes.size()));
        const std::string which = devices_.size() > 1 ? "slave " + std::to_string(meter->id.slave) +
                                                            " on " + meter->id.port + ": "
                                                      : "";
        if (taken == 0) {
            report_("history: " + which + "the device did not take the newest stored record (" +
                    std::to_string(stored->bytes.size()) + " bytes)");
            continue;
        }
        report_(which + "restored the record stored " + local_time_text(stored->stored_at_ms) +
                " from history");
        if (const auto text = request_snapshot(*meter->device))
            events_.round_done(meter->id, *text, 0, 0);
    }
}

bool BenchSession::poll(const PollPolicy& policy, const StopSignal& stop)
{
    std::vector<std::unique_ptr<LinePoller>> pollers;
    for (MeterLine& line : lines_)
        pollers.push_back(std::make_unique<LinePoller>(line, policy, events_));
    if (pollers.size() == 1) {
        pollers.front()->run(stop);
    } else {
        std::vector<std::thread> threads;
        for (auto& poller : pollers)
            threads.emplace_back([&poller, &stop] { poller->run(stop); });
        for (std::thread& thread : threads)
            thread.join();
    }
    for (const auto& poller : pollers)
        if (!poller->all_rounds_completed())
            return false;
    return true;
}

WriteOutcome BenchSession::write_registers(std::size_t meter, std::uint16_t address,
                                           const std::vector<std::uint16_t>& values)
{
    MeterDevice& written = *devices_.at(meter);
    devhost::LineTransport& transport = *lines_.at(written.id.line).transport;
    std::vector<std::uint16_t> request{address};
    request.insert(request.end(), values.begin(), values.end());
    const int code = values.size() == 1 ? kWriteRegister : kWriteRegisters;
    int count = 0;
    written.device->DeviceIoControl(code, request.data(), static_cast<int>(request.size() * 2),
                                    nullptr, 0, count);
    perform_for(lines_.at(written.id.line), written);

    WriteOutcome outcome;
    std::int32_t answer = 0;
    count = 0;
    written.device->DeviceIoControl(kOutcomeQuery, nullptr, 0, &answer, sizeof answer, count);
    if (count == sizeof answer)
        outcome.answer = answer;
    outcome.last_failure = transport.last_failure();
    return outcome;
}

unsigned long BenchSession::line_errors(std::size_t line) const
{
    return lines_.at(line).transport->error_count();
}

BenchSession::~BenchSession() { tear_down(); }

void BenchSession::tear_down()
{
    for (MeterLine& line : lines_) {
        for (auto& meter : line.meters) {
            if (meter->device != nullptr)
                line.transport->forget(*meter->device);
            meter->device.reset();  // through the virtual destructor, in the module's code
            meter->binding.reset();
        }
    }
    lines_.clear();
    devices_.clear();
    module_.reset();  // providers, then the module itself
    simulated_.reset();
    history_.reset();
}

}  // namespace meterhost
