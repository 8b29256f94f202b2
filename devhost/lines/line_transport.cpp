#include "devhost/lines/line_transport.h"

#include <iterator>

#include "host/spmodbus.h"
#include "devhost/runtime/reply_layout.h"
#include "devhost/lines/line.h"
#include "devhost/lines/line_factory.h"
#include "modbus/protocol.h"

namespace devhost {

namespace {

std::string describe(const ModbusRequest& request)
{
    const std::string address = std::to_string(request.address);
    switch (request.function) {
    case ModbusFunction::ReadHoldingRegisters:
        return "read of " + std::to_string(request.count) + " registers from " + address;
    case ModbusFunction::WriteSingleRegister:
        return "write of register " + address;
    case ModbusFunction::WriteMultipleRegisters:
        return "write of " + std::to_string(request.count) + " registers from " + address;
    }
    return "request";
}

}  // namespace

std::string request_problem(const ModbusRequest& request)
{
    if (request.address < 0 || request.address > modbus::kMaxRegisterAddress)
        return "address outside 0 to 65535";
    switch (request.function) {
    case ModbusFunction::ReadHoldingRegisters:
        if (request.count < 1 || request.count > modbus::kMaxReadCount)
            return "a read takes 1 to 125 registers";
        return "";
    case ModbusFunction::WriteSingleRegister:
        if (request.values.size() != 1)
            return "no value to write";
        return "";
    case ModbusFunction::WriteMultipleRegisters:
        if (request.count < 1 || request.count > modbus::kMaxWriteCount)
            return "a multiple write takes 1 to 123 registers";
        if (request.values.size() != static_cast<std::size_t>(request.count))
            return "fewer values than registers";
        return "";
    }
    return "unknown function";
}

LineTransport::LineTransport(Reporter report) : report_(std::move(report)) {}

LineTransport::~LineTransport() = default;

LineTransport::Meter* LineTransport::meter_of(const SMDSPDevice& device)
{
    const auto found = meters_.find(&device);
    return found == meters_.end() ? nullptr : &found->second;
}

namespace {

std::string line_format(const LineSettings& settings)
{
    return std::to_string(settings.baud) + " baud, parity " + std::string(1, settings.parity);
}

}  // namespace

// Why the device cannot join the line on settings.port, or empty.
std::string LineTransport::sharing_problem(const SMDSPDevice& device,
                                          const LineSettings& settings) const
{
    for (const auto& [other, meter] : meters_) {
        if (other == &device || meter.line->link->settings().port != settings.port)
            continue;
        const LineSettings& line = meter.line->link->settings();
        if (line.baud != settings.baud || line.parity != settings.parity)
            return "port " + settings.port + " runs at " + line_format(line) + " for slave " +
                   std::to_string(meter.slave) + "; slave " + std::to_string(settings.slave) +
                   " asks for " + line_format(settings);
        if (meter.slave == settings.slave)
            return "slave " + std::to_string(settings.slave) + " on port " + settings.port +
                   " belongs to another device already";
    }
    return "";
}

void LineTransport::drop_unused_lines()
{
    for (auto it = lines_.begin(); it != lines_.end();)
        it = it->second.use_count() == 1 ? lines_.erase(it) : std::next(it);
}

bool LineTransport::init_setting(SPModbus& device, const Json::Value& settings)
{
    const LineSettingsResult parsed = parse_line_settings(settings, device.baud_rate);
    if (!parsed.usable) {
        report_("settings rejected: " + parsed.error);
        return false;
    }
    const LineSettings& wanted = parsed.settings;
    const std::string problem = sharing_problem(device, wanted);
    if (!problem.empty()) {
        report_("settings rejected: " + problem);
        return false;
    }
    Meter& meter = meters_[&device];
    meter.line.reset();
    std::shared_ptr<SharedLine>& line = lines_[wanted.port];
    if (line && (line->link->settings().baud != wanted.baud ||
                 line->link->settings().parity != wanted.parity))
        line.reset();  // no other device uses it (sharing_problem): set up anew
    if (!line) {
        line = std::make_shared<SharedLine>();
        line->link = make_line(wanted);
        line->link->set_observer(observer_);
    }
    meter.line = line;
    meter.slave = wanted.slave;
    meter.timeout_ms = wanted.timeout_ms;
    drop_unused_lines();
    return true;
}

bool LineTransport::ensure_open(SharedLine& line)
{
    if (line.link->is_open())
        return true;
    std::string error;
    if (line.link->open(error)) {
        if (line.down) {
            report_("port " + line.link->settings().port + " is back");
            if (listener_ != nullptr)
                listener_->line_back(line.link->settings().port);
        }
        line.down = false;
        return true;
    }
    if (!line.down) {
        report_("cannot open port " + line.link->settings().port + ": " + error);
        if (listener_ != nullptr)
            listener_->line_lost(line.link->settings().port);
    }
    line.down = true;
    return false;
}

void LineTransport::mark_down(SharedLine& line, const std::string& why)
{
    line.link->close();
    if (!line.down) {
        report_("port " + line.link->settings().port + " lost (" + why +
                "); reopening at the next poll");
        if (listener_ != nullptr)
            listener_->line_lost(line.link->settings().port);
    }
    line.down = true;
}

int LineTransport::open_port(SMDSPDevice& device)
{
    Meter* meter = meter_of(device);
    return meter != nullptr && ensure_open(*meter->line) ? 0 : -1;
}

int LineTransport::close_port(SMDSPDevice& device)
{
    // The line stays open while another meter on it still uses it.
    Meter* meter = meter_of(device);
    if (meter == nullptr)
        return 0;
    for (const auto& [other, peer] : meters_)
        if (other != &device && peer.line == meter->line)
            return 0;
    meter->line->link->close();
    return 0;
}

int LineTransport::refresh_status(SMDSPDevice& device) { return open_port(device); }

void LineTransport::reset(SMDSPDevice&) {}

int LineTransport::submit(SPModbus& device, const ModbusRequest& request)
{
    std::lock_guard<std::mutex> lock(queue_mutex_);
    queue_.push_back({&device, request});
    return 0;
}

void LineTransport::forget(const SMDSPDevice& device)
{
    {
        std::lock_guard<std::mutex> lock(queue_mutex_);
        for (auto it = queue_.begin(); it != queue_.end();)
            it = static_cast<const SMDSPDevice*>(it->device) == &device ? queue_.erase(it) : it + 1;
    }
    meters_.erase(&device);
    drop_unused_lines();
}

void LineTransport::set_observer(LineObserver* observer)
{
    observer_ = observer;
    for (auto& [port, line] : lines_)
        line->link->set_observer(observer);
}

std::vector<Transaction> LineTransport::perform_pending(Failures failures)
{
    std::deque<Queued> batch;
    {
        std::lock_guard<std::mutex> lock(queue_mutex_);
        batch.swap(queue_);
    }
    std::vector<Transaction> done;
    done.reserve(batch.size());
    for (const Queued& queued : batch)
        done.push_back(perform(queued, failures));
    return done;
}

Transaction LineTransport::fail(SPModbus& device, Meter* meter, const std::string& what,
                               const std::string& why, bool quiet)
{
    ++errors_;
    last_failure_ = what + ": " + why;
    if (meter != nullptr) {
        last_failure_ = "slave " + std::to_string(meter->slave) + " on " +
                        meter->line->link->settings().port + ": " + last_failure_;
    }
    if (!quiet)
        report_(last_failure_);
    device.on_error();
    return {&device, false};
}

Transaction LineTransport::perform(const Queued& queued, Failures failures)
{
    SPModbus& device = *queued.device;
    const ModbusRequest& request = queued.request;
    const std::string what = describe(request);
    Meter* meter = meter_of(device);
    if (meter == nullptr)
        return fail(device, nullptr, what, "the device has no usable line settings", false);
    const std::string problem = request_problem(request);
    const bool quiet = failures == Failures::Quiet;
    if (!problem.empty())
        return fail(device, meter, what, "refused before sending: " + problem, quiet);
    SharedLine& line = *meter->line;
    if (!ensure_open(line))
        return fail(device, meter, what, "port " + line.link->settings().port + " not open", true);

    const MeterAddress address{meter->slave, meter->timeout_ms};
    Exchange exchange;
    switch (request.function) {
    case ModbusFunction::ReadHoldingRegisters:
        exchange = line.link->read_registers(address, request.address, request.count);
        break;
    case ModbusFunction::WriteSingleRegister:
        exchange = line.link->write_register(address, request.address, request.values[0]);
        break;
    case ModbusFunction::WriteMultipleRegisters:
        exchange = line.link->write_registers(address, request.address, request.values);
        break;
    }

    // A line that has gone (unplugged adapter, simulator stopped) can show as
    // a mere timeout; the line tells.
    const bool vanished = exchange.status == ExchangeStatus::Timeout && line.link->vanished();
    if (exchange.status == ExchangeStatus::LineDown || vanished) {
        mark_down(line, vanished ? "device node gone" : exchange.error);
        return fail(device, meter, what, status_name(ExchangeStatus::LineDown), true);
    }
    if (exchange.status != ExchangeStatus::Ok)
        return fail(device, meter, what,
                    std::string(status_name(exchange.status)) + " (" + exchange.error + ")",
                    quiet);

    unsigned int length = 0;
    switch (request.function) {
    case ModbusFunction::ReadHoldingRegisters:
        length = static_cast<unsigned int>(
            place_read_reply(device, exchange.registers.data(), exchange.registers.size()) * 2);
        break;
    case ModbusFunction::WriteSingleRegister:
        place_write_single_reply(device, exchange.echo);
        length = 2;
        break;
    case ModbusFunction::WriteMultipleRegisters:
        place_write_multiple_reply(device, exchange.echo);
        length = 4;
        break;
    }
    device.process_payload(device.tab, length);
    return {&device, true};
}

}  // namespace devhost
