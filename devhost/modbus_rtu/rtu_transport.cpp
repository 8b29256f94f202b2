#include "rtu_transport.h"

#include <unistd.h>

#include "host/spmodbus.h"
#include "reply_layout.h"
#include "rtu_line.h"

namespace devhost {

namespace {

constexpr int kMaxReadCount = 125;   // Modbus limit for function 3
constexpr int kMaxWriteCount = 123;  // Modbus limit for function 16
constexpr int kMaxAddress = 0xFFFF;

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
    if (request.address < 0 || request.address > kMaxAddress)
        return "address outside 0 to 65535";
    switch (request.function) {
    case ModbusFunction::ReadHoldingRegisters:
        if (request.count < 1 || request.count > kMaxReadCount)
            return "a read takes 1 to 125 registers";
        return "";
    case ModbusFunction::WriteSingleRegister:
        if (request.values.size() != 1)
            return "no value to write";
        return "";
    case ModbusFunction::WriteMultipleRegisters:
        if (request.count < 1 || request.count > kMaxWriteCount)
            return "a multiple write takes 1 to 123 registers";
        if (request.values.size() != static_cast<std::size_t>(request.count))
            return "fewer values than registers";
        return "";
    }
    return "unknown function";
}

RtuTransport::RtuTransport(Reporter report) : report_(std::move(report)) {}

RtuTransport::~RtuTransport() = default;

RtuTransport::Port* RtuTransport::port_of(const SMDSPDevice& device)
{
    const auto found = ports_.find(&device);
    return found == ports_.end() ? nullptr : &found->second;
}

bool RtuTransport::init_setting(SPModbus& device, const Json::Value& settings)
{
    const LineSettingsResult parsed = parse_line_settings(settings, device.baud_rate);
    if (!parsed.usable) {
        report_("settings rejected: " + parsed.error);
        return false;
    }
    Port& port = ports_[&device];
    if (!port.line || !(port.line->settings() == parsed.settings))
        port.line = std::make_unique<RtuLine>(parsed.settings);
    return true;
}

bool RtuTransport::ensure_open(Port& port)
{
    if (port.line->is_open())
        return true;
    std::string error;
    if (port.line->open(error)) {
        if (port.down)
            report_("port " + port.line->settings().port + " is back");
        port.down = false;
        return true;
    }
    if (!port.down)
        report_("cannot open port " + port.line->settings().port + ": " + error);
    port.down = true;
    return false;
}

void RtuTransport::mark_down(Port& port, const std::string& why)
{
    port.line->close();
    if (!port.down)
        report_("port " + port.line->settings().port + " lost (" + why +
                "); reopening at the next poll");
    port.down = true;
}

int RtuTransport::open_port(SMDSPDevice& device)
{
    Port* port = port_of(device);
    return port != nullptr && ensure_open(*port) ? 0 : -1;
}

int RtuTransport::close_port(SMDSPDevice& device)
{
    if (Port* port = port_of(device))
        port->line->close();
    return 0;
}

int RtuTransport::refresh_status(SMDSPDevice& device) { return open_port(device); }

void RtuTransport::reset(SMDSPDevice&) {}

int RtuTransport::submit(SPModbus& device, const ModbusRequest& request)
{
    std::lock_guard<std::mutex> lock(queue_mutex_);
    queue_.push_back({&device, request});
    return 0;
}

void RtuTransport::forget(const SMDSPDevice& device)
{
    {
        std::lock_guard<std::mutex> lock(queue_mutex_);
        for (auto it = queue_.begin(); it != queue_.end();)
            it = static_cast<const SMDSPDevice*>(it->device) == &device ? queue_.erase(it) : it + 1;
    }
    ports_.erase(&device);
}

std::size_t RtuTransport::perform_pending()
{
    std::deque<Queued> batch;
    {
        std::lock_guard<std::mutex> lock(queue_mutex_);
        batch.swap(queue_);
    }
    for (const Queued& queued : batch)
        perform(queued);
    return batch.size();
}

void RtuTransport::fail(SPModbus& device, const std::string& what, const std::string& why,
                        bool quiet)
{
    ++errors_;
    last_failure_ = what + ": " + why;
    if (!quiet)
        report_(last_failure_);
    device.on_error();
}

void RtuTransport::perform(const Queued& queued)
{
    SPModbus& device = *queued.device;
    const ModbusRequest& request = queued.request;
    const std::string what = describe(request);
    Port* port = port_of(device);
    if (port == nullptr)
        return fail(device, what, "the device has no usable line settings", false);
    const std::string problem = request_problem(request);
    if (!problem.empty())
        return fail(device, what, "refused before sending: " + problem, false);
    if (!ensure_open(*port))
        return fail(device, what, "port " + port->line->settings().port + " not open", true);

    Exchange exchange;
    switch (request.function) {
    case ModbusFunction::ReadHoldingRegisters:
        exchange = port->line->read_registers(request.address, request.count);
        break;
    case ModbusFunction::WriteSingleRegister:
        exchange = port->line->write_register(request.address, request.values[0]);
        break;
    case ModbusFunction::WriteMultipleRegisters:
        exchange = port->line->write_registers(request.address, request.values);
        break;
    }

    // A vanished device node (unplugged adapter, simulator gone) can show as a
    // mere timeout; its path tells.
    const bool node_gone = exchange.status == ExchangeStatus::Timeout &&
                           ::access(port->line->settings().port.c_str(), F_OK) != 0;
    if (exchange.status == ExchangeStatus::LineDown || node_gone) {
        mark_down(*port, node_gone ? "device node gone" : exchange.error);
        return fail(device, what, status_name(ExchangeStatus::LineDown), true);
    }
    if (exchange.status != ExchangeStatus::Ok)
        return fail(device, what,
                    std::string(status_name(exchange.status)) + " (" + exchange.error + ")",
                    false);

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
}

}  // namespace devhost
