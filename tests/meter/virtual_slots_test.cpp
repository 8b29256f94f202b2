// The meter device keeps every slot of the host's virtual table where the
// host expects it, and adds its threshold hook after all of them.
#include <gtest/gtest.h>

#include <string>

#include "meter/kalvor_power_meter.h"
#include "tests/support/vtable_slot.h"

namespace {

using kpmtest::vtable_slot;

// A virtual operation declared by a subclass takes the first free slot, so
// its slot tells where the meter's table ends.
struct ExtendedMeter : KalvorPowerMeter {
    virtual void appended() = 0;
};

TEST(MeterVirtualSlots, OverridesKeepTheHostSlotsAndTheHookIsLast)
{
    using Meter = KalvorPowerMeter;
    using CacheFromBytes = int (Meter::*)(const unsigned char*, int);
    using CacheFromText = int (Meter::*)(const std::string&);

    EXPECT_EQ(vtable_slot(&Meter::Get_Value), 0);
    EXPECT_EQ(vtable_slot(static_cast<CacheFromText>(&Meter::LoadFromCache)), 1);
    EXPECT_EQ(vtable_slot(static_cast<CacheFromBytes>(&Meter::LoadFromCache)), 2);
    EXPECT_EQ(vtable_slot(&Meter::DeviceIoControl), 5);
    EXPECT_EQ(vtable_slot(&Meter::RoundDone), 6);
    EXPECT_EQ(vtable_slot(&Meter::Reset), 10);
    EXPECT_EQ(vtable_slot(&Meter::InitSetting), 13);
    EXPECT_EQ(vtable_slot(&Meter::RefreshStatus), 23);
    EXPECT_EQ(vtable_slot(&Meter::OpenPort), 29);
    EXPECT_EQ(vtable_slot(&Meter::process_payload), 31);
    EXPECT_EQ(vtable_slot(&Meter::on_error), 32);
    EXPECT_EQ(vtable_slot(&Meter::RunCheckThreshold), 33);
    EXPECT_EQ(vtable_slot(&Meter::DataDevice::RunCheckThreshold), 33);
    EXPECT_EQ(vtable_slot(&ExtendedMeter::appended), 34) << "the hook is the last slot";
}

}  // namespace
