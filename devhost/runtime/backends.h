// The replaceable back-ends behind the host operations. Each device is bound
// to its own set (a host with several serial lines gives each line its own
// transport); a device that is not bound, or a member left empty, answers as
// a quiet host would (requests accepted and dropped, records discarded, no
// report or rule fires).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <json/value.h>

#include "devhost/runtime/modbus_request.h"

class VDeviceInterface;
class SMDVDevice;
class SMDSPDevice;
class SPModbus;
struct rule_value;

namespace devhost {

// Where a device's serial-line and Modbus operations go.
class ModbusTransport {
public:
    virtual ~ModbusTransport() = default;
    // Result of SPModbus::InitSetting: whether the settings are usable.
    virtual bool init_setting(SPModbus& device, const Json::Value& settings) = 0;
    virtual int open_port(SMDSPDevice& device) = 0;
    virtual int close_port(SMDSPDevice& device) = 0;
    virtual int refresh_status(SMDSPDevice& device) = 0;
    virtual void reset(SMDSPDevice& device) = 0;
    // Queues a request; the reply comes later through process_payload.
    virtual int submit(SPModbus& device, const ModbusRequest& request) = 0;
};

// Where published records and history records go.
class RecordSink {
public:
    virtual ~RecordSink() = default;
    virtual bool publish(SMDVDevice& device, int kind, const unsigned char* data,
                         unsigned int length, bool urgent) = 0;
    virtual bool save_history(SMDVDevice& device, const unsigned char* data,
                              unsigned int length) = 0;
};

// What the report and threshold checks answer.
class RuleChecker {
public:
    virtual ~RuleChecker() = default;
    virtual bool check_ao_report(SMDVDevice& device, const std::string& signal, float value) = 0;
    virtual bool check_threshold(SMDVDevice& device, const std::string& signal,
                                 const std::string& rule, const float& value, int mode) = 0;
    virtual bool batch_check(SMDVDevice& device, const std::vector<rule_value>& rules) = 0;
};

// The back-ends of one device; a null member is the quiet one.
struct Backends {
    ModbusTransport* transport = nullptr;
    RecordSink* records = nullptr;
    RuleChecker* rules = nullptr;
};

// Binds a device to its back-ends for the binding's lifetime. The back-ends
// must outlive every call the device makes while bound. Binding a device
// again replaces its set; the earlier binding then no longer unbinds it.
// Bindings and look-ups are safe from any thread.
class BackendBinding {
public:
    BackendBinding() = default;
    BackendBinding(const VDeviceInterface& device, Backends backends);
    ~BackendBinding();
    BackendBinding(BackendBinding&& other) noexcept;
    BackendBinding& operator=(BackendBinding&& other) noexcept;
    BackendBinding(const BackendBinding&) = delete;
    BackendBinding& operator=(const BackendBinding&) = delete;

    // Unbinds now (if still this binding's); idempotent.
    void reset();

private:
    const VDeviceInterface* device_ = nullptr;
    std::uint64_t token_ = 0;
};

[[nodiscard]] BackendBinding bind_backends(const VDeviceInterface& device, Backends backends);

// The back-ends the device is bound to; the quiet ones where it is not.
ModbusTransport& modbus_transport_of(const VDeviceInterface& device);
RecordSink& record_sink_of(const VDeviceInterface& device);
RuleChecker& rule_checker_of(const VDeviceInterface& device);

}  // namespace devhost
