// Polling a meter loaded from the module: defaults, settings, one complete
// round per block reply, replies to transactions it does not handle, and the
// value query at each age of the data.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "tests/support/meter_requests.h"
#include "tests/support/module_fixture.h"

namespace {

using boost::posix_time::ptime;
using boost::posix_time::seconds;
using boost::posix_time::second_clock;
using kpmtest::meter_of;

using PollingTest = kpmtest::ModuleTest;

TEST_F(PollingTest, NewDeviceHasTheMeterDefaults)
{
    SPModbus& device = new_device();
    EXPECT_EQ(device.DeviceType(), "kalvorpowermeter");
    EXPECT_EQ(device.baud_rate, 9600);
    EXPECT_EQ(device.modbus_option, 1);
    EXPECT_EQ(meter_of(device).write_result, -1);
    EXPECT_EQ(meter_of(device).write_expect, -1);
    EXPECT_EQ(meter_of(device).b_mode, 1);
    EXPECT_FALSE(device.data_ready);
}

TEST_F(PollingTest, SettingsCopyTheDataIdEvenWhenTheBaseRefuses)
{
    host_.script_init_setting({false});
    SPModbus& device = new_device();
    device.data_id = 0xCAFE;
    Json::Value settings;
    settings["appSetting"]["b_mode"] = "3";

    EXPECT_FALSE(device.InitSetting(settings));
    EXPECT_EQ(meter_of(device).record.data_id, 0xCAFEu);
    EXPECT_EQ(meter_of(device).b_mode, 3);
}

TEST_F(PollingTest, APollReadsTheBlockAndItsReplyPublishesAFreshRecord)
{
    SPModbus& device = new_device();
    device.data_id = 0x01020304;
    device.InitSetting(Json::Value(Json::objectValue));
    device.tab = 206;

    EXPECT_EQ(device.RefreshStatus(), 1);
    EXPECT_EQ(device.tab, 11);
    EXPECT_EQ(host_.call_names(),
              (std::vector<std::string>{"SPModbus::InitSetting", "SMDSPDevice::RefreshStatus",
                                        "modbus_read_registers"}));
    EXPECT_EQ(host_.calls_named("modbus_read_registers")[0].args,
              (std::vector<std::int64_t>{10, 60}));
    host_.clear();

    kpmtest::RegisterBlock block;
    for (std::size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<std::uint16_t>(0x1100 + i);
    devhost::place_read_reply(device, block.data(), block.size());
    device.reply_words[60] = 0xDEAD;  // past the block: not part of the record
    testing::internal::CaptureStdout();
    const ptime before = second_clock::local_time();
    // The kind and length the host passes are not what the device goes by.
    EXPECT_EQ(device.process_payload(6, 2), 0);
    const ptime after = second_clock::local_time();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "rvSize is 0\n");

    const auto published = host_.calls_named("SendSP");
    ASSERT_EQ(published.size(), 1u);
    EXPECT_EQ(published[0].args, (std::vector<std::int64_t>{5156, 131, 0}));
    const std::vector<std::uint8_t>& bytes = published[0].bytes;
    ASSERT_EQ(bytes.size(), 131u);
    std::uint32_t data_id;
    std::memcpy(&data_id, bytes.data(), sizeof data_id);
    EXPECT_EQ(data_id, 0x01020304u);
    EXPECT_EQ(0, std::memcmp(bytes.data() + 4, block.data(), 120));
    const ttime stamp = get_ttime(device.data_time);
    EXPECT_EQ(0, std::memcmp(bytes.data() + 124, &stamp, sizeof stamp));
    EXPECT_LE(before, device.data_time);
    EXPECT_GE(after, device.data_time);
    EXPECT_EQ(host_.calls_named("Reset").size(), 1u);
    EXPECT_EQ(host_.calls_named("SaveDeviceHistory").size(), 1u);
    EXPECT_EQ(device.tab, 11);
}

TEST_F(PollingTest, RepliesToUnhandledTransactionsChangeNothing)
{
    SPModbus& device = new_device();
    kpmtest::complete_round(device, kpmtest::block_of(9));
    meter_of(device).write_result = 1;
    meter_of(device).write_expect = 500;
    const std::vector<std::uint8_t> record_before = host_.calls_named("SendSP")[0].bytes;
    const ptime time_before = device.data_time;
    host_.clear();

    for (SPModbus::tab_type tab : {310, 320, 0, 12, 205, -1}) {
        device.tab = tab;
        devhost::place_write_single_reply(device, 500);
        EXPECT_EQ(device.process_payload(tab, 4), 1) << tab;
        EXPECT_EQ(device.tab, tab);
    }
    EXPECT_TRUE(host_.calls().empty());
    EXPECT_EQ(meter_of(device).write_result, 1);
    EXPECT_EQ(device.data_time, time_before);
    EXPECT_EQ(0, std::memcmp(&meter_of(device).record, record_before.data(), 131));
}

std::string value_query_failure(const SPModbus& device, unsigned id = 0,
                                const std::string& name = "A相电压")
{
    try {
        device.Get_Value(id, name);
    } catch (const std::out_of_range& error) {
        return error.what();
    }
    return "(returned a value)";
}

// The device reads the clock itself; an age of exactly 60 s is only certain
// when no second boundary passed while it did.
std::string failure_at_age(SPModbus& device, long age_seconds)
{
    for (int attempt = 0; attempt < 5; ++attempt) {
        const ptime now = second_clock::local_time();
        device.data_time = now - seconds(age_seconds);
        const std::string failure = value_query_failure(device);
        if (second_clock::local_time() == now)
            return failure;
    }
    ADD_FAILURE() << "the clock kept moving";
    return {};
}

TEST_F(PollingTest, ValueQueryTellsWhyAtEachAge)
{
    SPModbus& device = new_device();
    EXPECT_EQ(value_query_failure(device), "数据未就绪");
    kpmtest::complete_round(device, kpmtest::block_of(1));

    EXPECT_EQ(failure_at_age(device, 0), "不支持变量");
    EXPECT_EQ(failure_at_age(device, 60), "不支持变量");
    EXPECT_EQ(failure_at_age(device, 61), "数据已超时");
    EXPECT_EQ(failure_at_age(device, 86400), "数据已超时");
    EXPECT_EQ(failure_at_age(device, -3600), "不支持变量") << "clock set back";

    device.data_time = second_clock::local_time();
    for (unsigned id : {0u, 7u, 0xFFFFFFFFu})
        for (const char* name : {"", "A相电压", "nonsense"})
            EXPECT_EQ(value_query_failure(device, id, name), "不支持变量") << id << name;
}

}  // namespace
