// Root of the host's device class chain: the value query, the record cache,
// identity and control requests.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

// ABI: the host calls devices through the virtual table, so the order of the
// virtual operations of VDeviceInterface, SMDVDevice, SMDSPDevice and SPModbus
// fixes the slots the host uses. Append only; never reorder or insert.
class VDeviceInterface {
public:
    // Default: no data is ever ready.
    virtual float Get_Value(unsigned int id, const std::string& name) const
    {
        (void)id;
        (void)name;
        throw std::out_of_range("数据未就绪");
    }

    // Text form of the cache: forwards the bytes to the buffer form, which alone
    // decides whether they are accepted.
    virtual int LoadFromCache(const std::string& data)
    {
        return LoadFromCache(reinterpret_cast<const unsigned char*>(data.data()),
                             static_cast<int>(data.size()));
    }
    virtual int LoadFromCache(const unsigned char* data, int length) = 0;

    virtual unsigned int DataId() const { return data_id; }
    virtual const std::string& DeviceType() const { return device_type; }

    virtual int DeviceIoControl(int code, const void* in, int in_len, void* out, int out_len,
                                int& out_count) = 0;
    virtual void RoundDone() = 0;
    virtual bool UseControllerDb() { return use_controller_db; }

    virtual ~VDeviceInterface();

    std::uint32_t data_id = 0;
    std::string device_type;
    bool use_controller_db = false;
};
