// The inline defaults that every device inherits from the host SDK.
#include <gtest/gtest.h>

#include <climits>
#include <stdexcept>
#include <string>

#include "tests/host/probe_device.h"

namespace {

std::string thrown_message(const VDeviceInterface& device, unsigned id, const std::string& name)
{
    try {
        device.Get_Value(id, name);
    } catch (const std::out_of_range& error) {
        return error.what();
    }
    return "(nothing thrown)";
}

TEST(BaseDefaults, ValueQueryAlwaysReportsNoData)
{
    ProbeDevice device;
    for (unsigned id : {0u, 1u, UINT_MAX})
        for (const char* name : {"", "A相电压", "anything"})
            EXPECT_EQ(thrown_message(device, id, name), "数据未就绪") << id << " " << name;
}

TEST(BaseDefaults, TextCacheForwardsBytesAndLengthAndResult)
{
    ProbeDevice device;
    VDeviceInterface& as_host_sees_it = device;

    const std::string empty;
    EXPECT_EQ(as_host_sees_it.LoadFromCache(empty), 7);
    EXPECT_EQ(device.last_cache_length, 0);

    const std::string bytes("ab\0cd", 5);
    EXPECT_EQ(as_host_sees_it.LoadFromCache(bytes), 7);
    EXPECT_EQ(device.last_cache_length, 5);
    EXPECT_EQ(device.last_cache_data, reinterpret_cast<const unsigned char*>(bytes.data()));
}

TEST(BaseDefaults, IdentityAccessorsReadTheFields)
{
    ProbeDevice device;
    device.data_id = 4242;
    device.device_type = "probe";
    device.use_controller_db = true;

    EXPECT_EQ(device.DataId(), 4242u);
    const std::string& type = device.DeviceType();
    EXPECT_EQ(&type, &device.device_type) << "DeviceType must not copy";
    device.device_type = "renamed";
    EXPECT_EQ(type, "renamed");
    EXPECT_TRUE(device.UseControllerDb());
    device.use_controller_db = false;
    EXPECT_FALSE(device.UseControllerDb());
}

TEST(BaseDefaults, NoChildDevices)
{
    ProbeDevice device;
    EXPECT_EQ(device.GetChildVDevice(0), nullptr);
    EXPECT_EQ(device.GetChildVDevice(UINT_MAX), nullptr);
    EXPECT_TRUE(device.GetAllChildVDevices().empty());
}

TEST(BaseDefaults, ErrorHookPrintsOneLineEachTimeAndReturnsZero)
{
    ProbeDevice device;
    device.tab = 11;
    testing::internal::CaptureStdout();
    const int first = device.on_error();
    const int second = device.on_error();
    const std::string printed = testing::internal::GetCapturedStdout();

    EXPECT_EQ(first, 0);
    EXPECT_EQ(second, 0);
    EXPECT_EQ(printed, "SPModbus get error\nSPModbus get error\n");
    EXPECT_EQ(device.tab, 11);
}

}  // namespace
