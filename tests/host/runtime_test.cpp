// The development host runtime: time stamps, the reply layout, and the
// recording back-end that the module's tests rely on.
#include <gtest/gtest.h>

#include <cstring>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "host/ttime.h"
#include "tests/host/probe_device.h"
#include "devhost/runtime/recording_backend.h"
#include "devhost/runtime/reply_layout.h"

namespace {

using boost::posix_time::ptime;
using boost::posix_time::time_from_string;

TEST(HostRuntime, TimeStampCarriesTheCalendarFields)
{
    const ttime stamp = get_ttime(time_from_string("2024-03-05 07:08:09"));
    unsigned char bytes[7];
    std::memcpy(bytes, &stamp, sizeof bytes);
    const unsigned char expected[7] = {0xE8, 0x07, 3, 5, 7, 8, 9};  // 2024 little-endian
    EXPECT_EQ(0, std::memcmp(bytes, expected, sizeof bytes));

    const ttime none = get_ttime(ptime());
    std::memcpy(bytes, &none, sizeof bytes);
    const unsigned char zeros[7] = {};
    EXPECT_EQ(0, std::memcmp(bytes, zeros, sizeof bytes));
}

TEST(HostRuntime, ReplyLayoutPerFunction)
{
    ProbeDevice device;
    std::uint16_t registers[SPModbus::kReplyWordCount + 10];
    for (std::size_t i = 0; i < sizeof registers / sizeof registers[0]; ++i)
        registers[i] = static_cast<std::uint16_t>(1000 + i);

    EXPECT_EQ(devhost::place_read_reply(device, registers, 60), 60u);
    EXPECT_EQ(device.reply_words[0], 1000);
    EXPECT_EQ(device.reply_words[59], 1059);
    EXPECT_EQ(device.reply_words[60], 0);
    EXPECT_EQ(devhost::place_read_reply(device, registers, SPModbus::kReplyWordCount + 10),
              static_cast<std::size_t>(SPModbus::kReplyWordCount));

    devhost::place_write_single_reply(device, 500);
    EXPECT_EQ(device.reply_words[0], 500);
    EXPECT_EQ(device.reply_words[1], 0);

    devhost::place_write_multiple_reply(device, 4);
    EXPECT_EQ(device.reply_words[0], 16);
    EXPECT_EQ(device.reply_words[1], 4);
}

TEST(HostRuntime, RecorderKeepsCallsInOrderWithArgumentsAndScriptedAnswers)
{
    devhost::RecordingBackend host;
    host.script_ao_report({true, false});
    host.script_init_setting({false});
    ProbeDevice device;
    host.attach(device);

    EXPECT_FALSE(device.SPModbus::InitSetting(Json::Value(Json::objectValue)));
    EXPECT_TRUE(device.SPModbus::InitSetting(Json::Value(Json::objectValue)));
    const unsigned char record[3] = {1, 2, 3};
    device.SendSP(5156, record, 3, false);
    EXPECT_TRUE(device.CheckAOReport("U", 1.5f));
    EXPECT_FALSE(device.CheckAOReport("U", 1.5f));
    const float stored = 2.5f;
    device.CheckThreshold("I", "", stored, 1);
    device.modbus_read_registers(10, 60);
    const unsigned short values[2] = {7, 8};
    device.modbus_write_registers(20, 2, values);
    device.Reset();

    const auto calls = host.calls();
    const std::vector<std::string> expected = {
        "SPModbus::InitSetting", "SPModbus::InitSetting", "SendSP", "CheckAOReport",
        "CheckAOReport", "CheckThreshold", "modbus_read_registers", "modbus_write_registers",
        "Reset"};
    ASSERT_EQ(host.call_names(), expected);
    EXPECT_EQ(calls[2].args, (std::vector<std::int64_t>{5156, 3, 0}));
    EXPECT_EQ(calls[2].bytes, (std::vector<std::uint8_t>{1, 2, 3}));
    EXPECT_EQ(calls[3].text, "U");
    EXPECT_EQ(calls[5].value_ref, &stored);
    EXPECT_EQ(calls[5].args, (std::vector<std::int64_t>{1}));
    EXPECT_EQ(calls[6].args, (std::vector<std::int64_t>{10, 60}));
    EXPECT_EQ(calls[7].words, (std::vector<std::uint16_t>{7, 8}));
    for (const auto& call : calls)
        EXPECT_EQ(call.device, &device);
}

TEST(HostRuntime, RecorderCanFailAHostOperation)
{
    devhost::RecordingBackend host;
    host.on_call = [](const devhost::HostCall& call) {
        if (call.op == "SaveDeviceHistory")
            throw std::runtime_error("disk full");
    };
    ProbeDevice device;
    host.attach(device);
    const unsigned char record[1] = {0};
    EXPECT_THROW(device.SaveDeviceHistory(record, 1), std::runtime_error);
    EXPECT_EQ(host.calls_named("SaveDeviceHistory").size(), 1u);
}

TEST(HostRuntime, EachDeviceReachesOnlyTheBackEndItIsBoundTo)
{
    devhost::RecordingBackend first;
    devhost::RecordingBackend second;
    ProbeDevice a, b, unbound;
    first.attach(a);
    second.attach(b);
    a.Reset();
    b.Reset();
    unbound.Reset();
    EXPECT_TRUE(unbound.SPModbus::InitSetting(Json::Value())) << "the quiet host accepts";
    ASSERT_EQ(first.calls().size(), 1u);
    EXPECT_EQ(first.calls()[0].device, &a);
    ASSERT_EQ(second.calls().size(), 1u);
    EXPECT_EQ(second.calls()[0].device, &b);

    {
        devhost::RecordingBackend replacing;
        replacing.attach(a);
        a.Reset();
        EXPECT_EQ(replacing.calls().size(), 1u);
    }
    a.Reset();  // unbound with the back-end that bound it last
    EXPECT_EQ(first.calls().size(), 1u);
}

// The values are read through the pointer the device passes, word by word,
// as the gateway's host reads them.
TEST(HostRuntime, MultipleWriteValuesArriveIntact)
{
    devhost::RecordingBackend host;
    ProbeDevice device;
    host.attach(device);
    std::vector<unsigned short> values(123);
    for (std::size_t i = 0; i < values.size(); ++i)
        values[i] = static_cast<unsigned short>(0x8001u + 0x0102u * i);
    values.front() = 0;
    values.back() = 0xFFFF;
    device.modbus_write_registers(10, static_cast<int>(values.size()), values.data());
    device.modbus_write_registers(10, 2, nullptr);
    device.modbus_write_registers(10, 0, values.data());

    const auto writes = host.calls_named("modbus_write_registers");
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(writes[0].words, std::vector<std::uint16_t>(values.begin(), values.end()));
    EXPECT_TRUE(writes[1].words.empty());
    EXPECT_TRUE(writes[2].words.empty());
}

}  // namespace
