// Out-of-line operations of the host's device classes, as the host process
// provides them to modules at load time. Each forwards to the back-ends the
// calling device is bound to, so the same definitions serve the tests and the
// bench host, with devices on several lines at once.
#include <cstdint>

#include "devhost/runtime/backends.h"
#include "host/spmodbus.h"

using devhost::ModbusFunction;
using devhost::ModbusRequest;

VDeviceInterface::~VDeviceInterface() = default;

SMDVDevice::SMDVDevice() = default;
SMDVDevice::~SMDVDevice() = default;

int SMDVDevice::DeviceIoControl(int, const void*, int, void*, int, int& out_count)
{
    out_count = 0;
    return -1;
}

void SMDVDevice::Reset() {}
bool SMDVDevice::InitV(SMDVDevice*, unsigned int, const Json::Value&) { return true; }

bool SMDVDevice::Init(std::weak_ptr<SMDController>, unsigned int id, const Json::Value& settings)
{
    data_id = id;
    return InitSetting(settings);
}

bool SMDVDevice::InitSetting(const Json::Value&) { return true; }

bool SMDVDevice::IsSupportDevice(const std::string& type) const { return type == device_type; }

bool SMDVDevice::SendSP(int kind, const unsigned char* data, unsigned int length, bool urgent)
{
    return devhost::record_sink_of(*this).publish(*this, kind, data, length, urgent);
}

bool SMDVDevice::SendDelayData(int) { return false; }
bool SMDVDevice::SendDoData(int, char) { return false; }
int SMDVDevice::ReadDi(int) { return 0; }
float SMDVDevice::ReadAi(int) { return 0.0f; }
float SMDVDevice::Get_SP_Value(unsigned int, const std::string&) { return 0.0f; }

bool SMDVDevice::CheckAOReport(const std::string& signal, float value)
{
    return devhost::rule_checker_of(*this).check_ao_report(*this, signal, value);
}

bool SMDVDevice::CheckThreshold(const std::string& signal, const std::string& rule,
                                const float& value, int mode)
{
    return devhost::rule_checker_of(*this).check_threshold(*this, signal, rule, value, mode);
}

bool SMDVDevice::DoBatchCheckThreshold(const std::vector<rule_value>& rules)
{
    return devhost::rule_checker_of(*this).batch_check(*this, rules);
}

bool SMDVDevice::SaveDeviceHistory(const unsigned char* data, unsigned int length)
{
    return devhost::record_sink_of(*this).save_history(*this, data, length);
}

SMDSPDevice::SMDSPDevice() = default;
SMDSPDevice::~SMDSPDevice() = default;

void SMDSPDevice::Reset() { devhost::modbus_transport_of(*this).reset(*this); }
int SMDSPDevice::RefreshStatus()
{
    return devhost::modbus_transport_of(*this).refresh_status(*this);
}
int SMDSPDevice::process(unsigned char*, unsigned int) { return 0; }
bool SMDSPDevice::IsProcessing() { return false; }
bool SMDSPDevice::IsStalled() { return false; }
int SMDSPDevice::SendData(const unsigned char*, unsigned int) { return -1; }
int SMDSPDevice::SendParityData(const unsigned char*, unsigned int, EnumParity) { return -1; }
int SMDSPDevice::OpenPort() { return devhost::modbus_transport_of(*this).open_port(*this); }
int SMDSPDevice::ClosePort() { return devhost::modbus_transport_of(*this).close_port(*this); }

SPModbus::SPModbus() = default;
SPModbus::~SPModbus() = default;

bool SPModbus::InitSetting(const Json::Value& settings)
{
    return devhost::modbus_transport_of(*this).init_setting(*this, settings);
}

int SPModbus::modbus_read_registers(int address, int count)
{
    return devhost::modbus_transport_of(*this).submit(
        *this, ModbusRequest{ModbusFunction::ReadHoldingRegisters, address, count, {}});
}

int SPModbus::modbus_write_register(int address, int value)
{
    return devhost::modbus_transport_of(*this).submit(
        *this, ModbusRequest{ModbusFunction::WriteSingleRegister, address, 1,
                             {static_cast<std::uint16_t>(value)}});
}

int SPModbus::modbus_write_registers(int address, int count, const unsigned short* values)
{
    ModbusRequest request{ModbusFunction::WriteMultipleRegisters, address, count, {}};
    // Read as the gateway's host reads them: word by word through the
    // pointer given, so a misaligned one is caught (UBSan, or a trap on the
    // gateway's core) here rather than in the field.
    if (count > 0 && values != nullptr) {
        request.values.reserve(static_cast<std::size_t>(count));
        for (int i = 0; i < count; ++i)
            request.values.push_back(values[i]);
    }
    return devhost::modbus_transport_of(*this).submit(*this, request);
}
