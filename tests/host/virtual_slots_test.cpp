// The host calls devices through fixed virtual-table slots. This reads each
// operation's slot from its pointer-to-member and checks the order the host
// was built with; a reordering in the SDK headers fails here.
//
// Itanium C++ ABI: a virtual member pointer is {ptr, adj}. Generically ptr is
// 1 + the slot's byte offset. MIPS and ARM use the low bit of code addresses
// for the instruction set, so there ptr is the byte offset itself and the
// "virtual" flag is the low bit of adj.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "host/ttime.h"
#include "probe_device.h"

namespace {

template <typename MemberPointer>
std::ptrdiff_t slot_of(MemberPointer member)
{
    static_assert(sizeof(member) == 2 * sizeof(std::uintptr_t), "Itanium member pointer");
    std::uintptr_t words[2];
    std::memcpy(words, &member, sizeof words);
#if defined(__mips__) || defined(__arm__) || defined(__aarch64__)
    EXPECT_EQ(words[1] & 1u, 1u) << "not a virtual member pointer";
    const std::uintptr_t byte_offset = words[0];
#else
    EXPECT_EQ(words[0] % sizeof(void*), 1u) << "not a virtual member pointer";
    const std::uintptr_t byte_offset = words[0] - 1;
#endif
    EXPECT_EQ(byte_offset % sizeof(void*), 0u) << "slot offset not pointer-aligned";
    return static_cast<std::ptrdiff_t>(byte_offset / sizeof(void*));
}

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
        {"Get_Value", slot_of(&Device::Get_Value)},
        {"LoadFromCache(string)", slot_of(static_cast<CacheFromText>(&Device::LoadFromCache))},
        {"LoadFromCache(bytes)", slot_of(static_cast<CacheFromBytes>(&Device::LoadFromCache))},
        {"DataId", slot_of(&Device::DataId)},
        {"DeviceType", slot_of(&Device::DeviceType)},
        {"DeviceIoControl", slot_of(&Device::DeviceIoControl)},
        {"RoundDone", slot_of(&Device::RoundDone)},
        {"UseControllerDb", slot_of(&Device::UseControllerDb)},
        {"Reset", slot_of(&Device::Reset)},
        {"InitV", slot_of(&Device::InitV)},
        {"Init", slot_of(&Device::Init)},
        {"InitSetting", slot_of(&Device::InitSetting)},
        {"IsSupportDevice", slot_of(&Device::IsSupportDevice)},
        {"GetChildVDevice", slot_of(&Device::GetChildVDevice)},
        {"GetAllChildVDevices", slot_of(&Device::GetAllChildVDevices)},
        {"SendSP", slot_of(&Device::SendSP)},
        {"SendDelayData", slot_of(&Device::SendDelayData)},
        {"SendDoData", slot_of(&Device::SendDoData)},
        {"ReadDi", slot_of(&Device::ReadDi)},
        {"ReadAi", slot_of(&Device::ReadAi)},
        {"Get_SP_Value", slot_of(&Device::Get_SP_Value)},
        {"RefreshStatus", slot_of(&Device::RefreshStatus)},
        {"process", slot_of(&Device::process)},
        {"IsProcessing", slot_of(&Device::IsProcessing)},
        {"IsStalled", slot_of(&Device::IsStalled)},
        {"SendData", slot_of(&Device::SendData)},
        {"SendParityData", slot_of(&Device::SendParityData)},
        {"OpenPort", slot_of(&Device::OpenPort)},
        {"ClosePort", slot_of(&Device::ClosePort)},
        {"process_payload", slot_of(&Device::process_payload)},
        {"on_error", slot_of(&Device::on_error)},
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
