#include "devhost/runtime/recording_backend.h"

#include <utility>

#include "host/spmodbus.h"

namespace devhost {

namespace {

HostCall call_of(const char* op, const void* device, std::vector<std::int64_t> args = {})
{
    HostCall call;
    call.op = op;
    call.device = device;
    call.args = std::move(args);
    return call;
}

}  // namespace

RecordingBackend::~RecordingBackend()
{
    std::lock_guard<std::mutex> lock(mutex_);
    bindings_.clear();
}

void RecordingBackend::attach(const VDeviceInterface& device)
{
    BackendBinding binding = bind_backends(device, Backends{this, this, this});
    std::lock_guard<std::mutex> lock(mutex_);
    bindings_.push_back(std::move(binding));
}

std::vector<HostCall> RecordingBackend::calls() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
}

std::vector<HostCall> RecordingBackend::calls_named(const std::string& op) const
{
    std::vector<HostCall> named;
    for (auto& call : calls())
        if (call.op == op)
            named.push_back(call);
    return named;
}

std::vector<std::string> RecordingBackend::call_names() const
{
    std::vector<std::string> names;
    for (auto& call : calls())
        names.push_back(call.op);
    return names;
}

void RecordingBackend::clear()
{
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.clear();
}

void RecordingBackend::script_ao_report(std::vector<bool> results)
{
    std::lock_guard<std::mutex> lock(mutex_);
    ao_results_.assign(results.begin(), results.end());
}

void RecordingBackend::script_batch_check(std::vector<bool> results)
{
    std::lock_guard<std::mutex> lock(mutex_);
    batch_results_.assign(results.begin(), results.end());
}

void RecordingBackend::script_init_setting(std::vector<bool> results)
{
    std::lock_guard<std::mutex> lock(mutex_);
    init_results_.assign(results.begin(), results.end());
}

void RecordingBackend::record(HostCall call)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        calls_.push_back(call);
    }
    if (on_call)
        on_call(call);
}

bool RecordingBackend::next_result(std::deque<bool>& queue, bool fallback)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (queue.empty())
        return fallback;
    const bool result = queue.front();
    queue.pop_front();
    return result;
}

bool RecordingBackend::init_setting(SPModbus& device, const Json::Value& settings)
{
    HostCall call = call_of("SPModbus::InitSetting", &device);
    call.text = settings.toStyledString();
    record(std::move(call));
    return next_result(init_results_, default_init_setting);
}

int RecordingBackend::open_port(SMDSPDevice& device)
{
    record(call_of("OpenPort", &device));
    return 0;
}

int RecordingBackend::close_port(SMDSPDevice& device)
{
    record(call_of("ClosePort", &device));
    return 0;
}

int RecordingBackend::refresh_status(SMDSPDevice& device)
{
    record(call_of("SMDSPDevice::RefreshStatus", &device));
    return 0;
}

void RecordingBackend::reset(SMDSPDevice& device)
{
    record(call_of("Reset", &device));
}

int RecordingBackend::submit(SPModbus& device, const ModbusRequest& request)
{
    HostCall call = call_of("", &device, {request.address, request.count});
    switch (request.function) {
    case ModbusFunction::ReadHoldingRegisters:
        call.op = "modbus_read_registers";
        break;
    case ModbusFunction::WriteSingleRegister:
        call.op = "modbus_write_register";
        call.args = {request.address, request.values.empty() ? 0 : request.values[0]};
        break;
    case ModbusFunction::WriteMultipleRegisters:
        call.op = "modbus_write_registers";
        call.words = request.values;
        break;
    }
    record(std::move(call));
    return 0;
}

bool RecordingBackend::publish(SMDVDevice& device, int kind, const unsigned char* data,
                               unsigned int length, bool urgent)
{
    HostCall call = call_of("SendSP", &device, {kind, length, urgent ? 1 : 0});
    call.bytes.assign(data, data + length);
    record(std::move(call));
    return true;
}

bool RecordingBackend::save_history(SMDVDevice& device, const unsigned char* data,
                                    unsigned int length)
{
    HostCall call = call_of("SaveDeviceHistory", &device, {length});
    call.bytes.assign(data, data + length);
    record(std::move(call));
    return true;
}

bool RecordingBackend::check_ao_report(SMDVDevice& device, const std::string& signal, float value)
{
    HostCall call = call_of("CheckAOReport", &device);
    call.text = signal;
    call.value = value;
    record(std::move(call));
    return next_result(ao_results_, default_ao_report);
}

bool RecordingBackend::check_threshold(SMDVDevice& device, const std::string& signal,
                                       const std::string& rule, const float& value, int mode)
{
    HostCall call = call_of("CheckThreshold", &device, {mode});
    call.text = signal;
    call.rule = rule;
    call.value = value;
    call.value_ref = &value;
    record(std::move(call));
    return false;
}

bool RecordingBackend::batch_check(SMDVDevice& device, const std::vector<rule_value>& rules)
{
    record(call_of("DoBatchCheckThreshold", &device, {static_cast<std::int64_t>(rules.size())}));
    return next_result(batch_results_, default_batch_check);
}

}  // namespace devhost
