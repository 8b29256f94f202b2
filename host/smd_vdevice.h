// The host's virtual device: set-up, child devices, publication of records,
// report and threshold checks, history.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/ptime.hpp>
#include <json/value.h>

#include "host/rule_value.h"
#include "host/vdevice_interface.h"

class SMDController;

class SMDVDevice : public VDeviceInterface {
public:
    SMDVDevice();
    ~SMDVDevice() override;

    int DeviceIoControl(int code, const void* in, int in_len, void* out, int out_len,
                        int& out_count) override;

    // ABI: virtual operations continue the slot order of VDeviceInterface.
    virtual void Reset();
    virtual bool InitV(SMDVDevice* parent, unsigned int index, const Json::Value& settings);
    virtual bool Init(std::weak_ptr<SMDController> controller, unsigned int id,
                      const Json::Value& settings);
    virtual bool InitSetting(const Json::Value& settings);
    virtual bool IsSupportDevice(const std::string& type) const;

    // Default: the device has no child devices.
    virtual std::shared_ptr<SMDVDevice> GetChildVDevice(unsigned int index)
    {
        (void)index;
        return {};
    }
    virtual std::vector<std::shared_ptr<SMDVDevice>> GetAllChildVDevices() { return {}; }

    virtual bool SendSP(int kind, const unsigned char* data, unsigned int length, bool urgent);
    virtual bool SendDelayData(int delay_ms);
    virtual bool SendDoData(int channel, char value);
    virtual int ReadDi(int channel);
    virtual float ReadAi(int channel);
    virtual float Get_SP_Value(unsigned int id, const std::string& name);

    // Not virtual: called by qualified name from devices.
    bool CheckAOReport(const std::string& signal, float value);
    bool CheckThreshold(const std::string& signal, const std::string& rule, const float& value,
                        int mode);
    bool DoBatchCheckThreshold(const std::vector<rule_value>& rules);
    bool SaveDeviceHistory(const unsigned char* data, unsigned int length);

    std::int16_t data_status = 0;
    boost::posix_time::ptime data_time;  // not-a-date-time until a round completes
    bool data_ready = false;
    std::vector<rule_value> rule_values;
    bool report_needed = false;
    std::vector<std::string> check_signals;
    std::map<std::string, float> signal_values;
};
