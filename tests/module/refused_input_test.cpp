// Requests whose buffers do not hold what the request would read or write
// are refused: -1, nothing read or written outside the caller's buffers, and
// the device exactly as it was.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/guarded_buffer.h"
#include "tests/support/meter_requests.h"
#include "tests/support/module_fixture.h"

namespace {

using kpmtest::GuardedBuffer;
using kpmtest::meter_of;

struct DeviceState {
    SPModbus::tab_type tab;
    std::int32_t write_result;
    std::int32_t write_expect;
    std::uint32_t snapshot_round;
    std::string snapshot;

    bool operator==(const DeviceState& other) const
    {
        return tab == other.tab && write_result == other.write_result &&
               write_expect == other.write_expect && snapshot_round == other.snapshot_round &&
               snapshot == other.snapshot;
    }
};

DeviceState state_of(SPModbus& device)
{
    KalvorPowerMeter& meter = meter_of(device);
    return {device.tab, meter.write_result, meter.write_expect, meter.snapshot_round,
            meter.snapshot.toStyledString()};
}

struct RefusedCase {
    const char* name;
    int code;
    bool null_in;
    int in_len;
    bool null_out;
    int out_len;
};

TEST(RefusedInput, NothingOutsideTheBuffersAndNoStateChanges)
{
    const int pointer_width = static_cast<int>(sizeof(void*));
    const RefusedCase cases[] = {
        {"206 with 3 bytes", 206, false, 3, false, 0},
        {"206 with 1 byte", 206, false, 1, false, 0},
        {"206 with none", 206, false, 0, false, 0},
        {"210 with 1 byte", 210, false, 1, false, 0},
        {"210 with none", 210, false, 0, false, 0},
        {"206 negative in_len", 206, false, -4, false, 0},
        {"210 negative in_len", 210, false, -2, false, 0},
        {"310 negative in_len", 310, false, -1, false, 0},
        {"320 negative in_len", 320, false, INT_MIN, false, 0},
        {"query negative in_len", 0, false, -1, false, 4},
        {"801 negative out_len", 801, false, 0, false, -1},
        {"803 negative out_len", 803, false, 0, false, -pointer_width},
        {"query negative out_len", 0, false, 0, false, INT_MIN},
        {"206 null in", 206, true, 4, false, 0},
        {"210 null in", 210, true, 6, false, 0},
        {"310 null in", 310, true, 2, false, 0},
        {"801 null out", 801, false, 0, true, 4096},
        {"803 null out", 803, false, 0, true, pointer_width},
        {"query null out", 802, false, 0, true, 4},
    };

    devhost::RecordingBackend host;
    devhost::LoadedModule module(KPM_MODULE_PATH);
    const auto device_owner = module.create_device();
    SPModbus& device = *device_owner;
    host.attach(device);
    // A device in the middle of its life: a round done and a write confirmed.
    testing::internal::CaptureStdout();
    kpmtest::complete_round(device, kpmtest::block_of(42));
    testing::internal::GetCapturedStdout();
    kpmtest::request_with_words(device, 206, {16, 500});
    devhost::place_write_single_reply(device, 500);
    device.process_payload(0, 0);
    kpmtest::snapshot_text(device);
    const DeviceState before = state_of(device);
    host.clear();

    for (const RefusedCase& c : cases) {
        GuardedBuffer in(8, 1);
        in.data()[0] = '{';
        in.data()[1] = '}';
        GuardedBuffer out(c.out_len > 0 ? 4096 : 8, 1);
        // Positive lengths leave room to spare: whatever is refused, it is not
        // for want of space, and anything written shows in `out`.
        int out_count = -12345;
        const int result = device.DeviceIoControl(
            c.code, c.null_in ? nullptr : in.data(), c.in_len, c.null_out ? nullptr : out.data(),
            c.out_len, out_count);

        EXPECT_EQ(result, -1) << c.name;
        EXPECT_EQ(out_count, -12345) << c.name;
        EXPECT_TRUE(out.untouched()) << c.name;
        EXPECT_TRUE(in.guards_intact()) << c.name;
        EXPECT_TRUE(state_of(device) == before) << c.name;
        EXPECT_TRUE(host.calls().empty()) << c.name;
    }
}

}  // namespace
