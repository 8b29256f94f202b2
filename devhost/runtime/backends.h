// The replaceable back-ends behind the host operations. A process installs
// the ones it needs; whatever is not installed answers as a quiet host would
// (requests accepted and dropped, records discarded, no report or rule fires).
#pragma once

#include <string>
#include <vector>

#include <json/value.h>

#include "modbus_request.h"

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

// Installing nullptr restores the quiet default. The back-ends must outlive
// every call made while they are installed.
void install_modbus_transport(ModbusTransport* transport);
void install_record_sink(RecordSink* sink);
void install_rule_checker(RuleChecker* checker);

ModbusTransport& modbus_transport();
RecordSink& record_sink();
RuleChecker& rule_checker();

}  // namespace devhost
