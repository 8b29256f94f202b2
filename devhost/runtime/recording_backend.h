// A back-end for tests: records every host operation a device calls, in
// order, with its arguments, and answers with scripted results.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "devhost/runtime/backends.h"

namespace devhost {

struct HostCall {
    std::string op;  // "SendSP", "CheckAOReport", "modbus_read_registers", ...
    const void* device = nullptr;
    std::vector<std::int64_t> args;     // integer arguments, in order
    std::string text;                   // the signal name, or the settings as text
    std::string rule;                   // CheckThreshold: the rule text
    float value = 0.0f;                 // the signal value, where there is one
    const float* value_ref = nullptr;   // CheckThreshold: the referenced value
    std::vector<std::uint8_t> bytes;    // published or stored record bytes
    std::vector<std::uint16_t> words;   // values of a register write
};

class RecordingBackend final : public ModbusTransport, public RecordSink, public RuleChecker {
public:
    RecordingBackend() = default;
    // Unbinds the devices it was attached to.
    ~RecordingBackend() override;
    RecordingBackend(const RecordingBackend&) = delete;
    RecordingBackend& operator=(const RecordingBackend&) = delete;

    // Binds the device to this back-end (all three roles) until the
    // back-end goes; a device not attached reaches the quiet host.
    void attach(const VDeviceInterface& device);

    std::vector<HostCall> calls() const;
    std::vector<HostCall> calls_named(const std::string& op) const;
    std::vector<std::string> call_names() const;
    void clear();

    // Scripted results, taken in order; when a queue is empty the default answers.
    void script_ao_report(std::vector<bool> results);
    void script_batch_check(std::vector<bool> results);
    void script_init_setting(std::vector<bool> results);
    bool default_ao_report = false;
    bool default_batch_check = false;
    bool default_init_setting = true;

    // Runs after each call is recorded, before it answers; may throw to
    // simulate a failing host operation, or look at the device mid-round.
    std::function<void(const HostCall&)> on_call;

    bool init_setting(SPModbus& device, const Json::Value& settings) override;
    int open_port(SMDSPDevice& device) override;
    int close_port(SMDSPDevice& device) override;
    int refresh_status(SMDSPDevice& device) override;
    void reset(SMDSPDevice& device) override;
    int submit(SPModbus& device, const ModbusRequest& request) override;
    bool publish(SMDVDevice& device, int kind, const unsigned char* data, unsigned int length,
                 bool urgent) override;
    bool save_history(SMDVDevice& device, const unsigned char* data,
                      unsigned int length) override;
    bool check_ao_report(SMDVDevice& device, const std::string& signal, float value) override;
    bool check_threshold(SMDVDevice& device, const std::string& signal, const std::string& rule,
                         const float& value, int mode) override;
    bool batch_check(SMDVDevice& device, const std::vector<rule_value>& rules) override;

private:
    void record(HostCall call);
    bool next_result(std::deque<bool>& queue, bool fallback);

    mutable std::mutex mutex_;
    std::vector<HostCall> calls_;
    std::deque<bool> ao_results_;
    std::deque<bool> batch_results_;
    std::deque<bool> init_results_;
    std::vector<BackendBinding> bindings_;
};

}  // namespace devhost
