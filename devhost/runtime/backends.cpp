#include "backends.h"

#include <atomic>

namespace devhost {

namespace {

class QuietTransport final : public ModbusTransport {
public:
    bool init_setting(SPModbus&, const Json::Value&) override { return true; }
    int open_port(SMDSPDevice&) override { return 0; }
    int close_port(SMDSPDevice&) override { return 0; }
    int refresh_status(SMDSPDevice&) override { return 0; }
    void reset(SMDSPDevice&) override {}
    int submit(SPModbus&, const ModbusRequest&) override { return 0; }
};

class QuietSink final : public RecordSink {
public:
    bool publish(SMDVDevice&, int, const unsigned char*, unsigned int, bool) override
    {
        return true;
    }
    bool save_history(SMDVDevice&, const unsigned char*, unsigned int) override { return true; }
};

class QuietRules final : public RuleChecker {
public:
    bool check_ao_report(SMDVDevice&, const std::string&, float) override { return false; }
    bool check_threshold(SMDVDevice&, const std::string&, const std::string&, const float&,
                         int) override
    {
        return false;
    }
    bool batch_check(SMDVDevice&, const std::vector<rule_value>&) override { return false; }
};

QuietTransport quiet_transport;
QuietSink quiet_sink;
QuietRules quiet_rules;

std::atomic<ModbusTransport*> current_transport{&quiet_transport};
std::atomic<RecordSink*> current_sink{&quiet_sink};
std::atomic<RuleChecker*> current_rules{&quiet_rules};

}  // namespace

void install_modbus_transport(ModbusTransport* transport)
{
    current_transport = transport ? transport : &quiet_transport;
}

void install_record_sink(RecordSink* sink) { current_sink = sink ? sink : &quiet_sink; }

void install_rule_checker(RuleChecker* checker)
{
    current_rules = checker ? checker : &quiet_rules;
}

ModbusTransport& modbus_transport() { return *current_transport.load(); }
RecordSink& record_sink() { return *current_sink.load(); }
RuleChecker& rule_checker() { return *current_rules.load(); }

}  // namespace devhost
