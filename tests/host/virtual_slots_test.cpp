// The host calls devices through fixed virtual-table slots. This reads each
// operation's slot from its pointer-to-member and checks the order the host
// was built with; a reordering in the SDK headers fails here.
#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

#include "host/ttime.h"
#include "tests/host/probe_device.h"
#include "tests/support/vtable_slot.h"

namespace {

using kpmtest::vtable_slot;

struct Slot {
    const char* name;
    std::ptrdiff_t index;
};

TEST(VirtualSlots, DeviceChainKeepsTheHostOrder)
{
    using Device = ProbeDevice;
    using CacheFromText = int (Device::*)(const std::string&);
    using CacheFromBytes = int (Device::*)(const unsigned char*, int);

    // The destructor (complete and deleting forms) takes slots 8 and 9; a
    // member pointer cannot name it, so its place shows in the slots around it.
    const std::vector<Slot> expected = {
        {"Get_Value", 0},
        {"LoadFromCache(string)", 1},
        {"LoadFromCache(bytes)", 2},
        {"DataId", 3},
        {"DeviceType", 4},
        {"DeviceIoControl", 5},
        {"RoundDone", 6},
        {"UseControllerDb", 7},
        {"Reset", 10},
        {"InitV", 11},
        {"Init", 12},
        {"InitSetting", 13},
        {"IsSupportDevice", 14},
        {"GetChildVDevice", 15},
        {"GetAllChildVDevices", 16},
        {"SendSP", 17},
        {"SendDelayData", 18},
        {"SendDoData", 19},
        {"ReadDi", 20},
        {"ReadAi", 21},
        {"Get_SP_Value", 22},
        {"RefreshStatus", 23},
        {"process", 24},
        {"IsProcessing", 25},
        {"IsStalled", 26},
        {"SendData", 27},
        {"SendParityData", 28},
        {"OpenPort", 29},
        {"ClosePort", 30},
        {"process_payload", 31},
        {"on_error", 32},
    };
    const std::vector<Slot> actual = {
        {"Get_Value", vtable_slot(&Device::Get_Value)},
        {"LoadFromCache(string)", vtable_slot(static_cast<CacheFromText>(&Device::LoadFromCache))},
        {"LoadFromCache(bytes)", vtable_slot(static_cast<CacheFromBytes>(&Device::LoadFromCache))},
        {"DataId", vtable_slot(&Device::DataId)},
        {"DeviceType", vtable_slot(&Device::DeviceType)},
        {"DeviceIoControl", vtable_slot(&Device::DeviceIoControl)},
        {"RoundDone", vtable_slot(&Device::RoundDone)},
        {"UseControllerDb", vtable_slot(&Device::UseControllerDb)},
        {"Reset", vtable_slot(&Device::Reset)},
        {"InitV", vtable_slot(&Device::InitV)},
        {"Init", vtable_slot(&Device::Init)},
        {"InitSetting", vtable_slot(&Device::InitSetting)},
        {"IsSupportDevice", vtable_slot(&Device::IsSupportDevice)},
        {"GetChildVDevice", vtable_slot(&Device::GetChildVDevice)},
        {"GetAllChildVDevices", vtable_slot(&Device::GetAllChildVDevices)},
        {"SendSP", vtable_slot(&Device::SendSP)},
        {"SendDelayData", vtable_slot(&Device::SendDelayData)},
        {"SendDoData", vtable_slot(&Device::SendDoData)},
        {"ReadDi", vtable_slot(&Device::ReadDi)},
        {"ReadAi", vtable_slot(&Device::ReadAi)},
        {"Get_SP_Value", vtable_slot(&Device::Get_SP_Value)},
        {"RefreshStatus", vtable_slot(&Device::RefreshStatus)},
        {"process", vtable_slot(&Device::process)},
        {"IsProcessing", vtable_slot(&Device::IsProcessing)},
        {"IsStalled", vtable_slot(&Device::IsStalled)},
        {"SendData", vtable_slot(&Device::SendData)},
        {"SendParityData", vtable_slot(&Device::SendParityData)},
        {"OpenPort", vtable_slot(&Device::OpenPort)},
        {"ClosePort", vtable_slot(&Device::ClosePort)},
        {"process_payload", vtable_slot(&Device::process_payload)},
        {"on_error", vtable_slot(&Device::on_error)},
    };
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(actual[i].index, expected[i].index) << expected[i].name;
}

TEST(VirtualSlots, DestructorSitsBetweenUseControllerDbAndReset)
{
    // Reading the table itself: the two destructor entries are the only ones
    // between slots 7 and 10, and deleting through the root pointer works.
    ProbeDevice* device = new ProbeDevice;
    void** table = *reinterpret_cast<void***>(device);
    EXPECT_NE(table[8], nullptr);
    EXPECT_NE(table[9], nullptr);
    EXPECT_NE(table[8], table[9]);
    VDeviceInterface* root = device;
    delete root;
}

TEST(HostTypes, TimeStampIsSevenPackedBytes)
{
    EXPECT_EQ(sizeof(ttime), 7u);
    EXPECT_EQ(offsetof(ttime, year), 0u);
    EXPECT_EQ(offsetof(ttime, month), 2u);
    EXPECT_EQ(offsetof(ttime, second), 6u);
    EXPECT_EQ(sizeof(rule_value) % alignof(rule_value), 0u);
}

}  // namespace
