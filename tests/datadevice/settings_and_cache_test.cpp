// The data-device template: construction, the "b_mode" setting, and the
// record cache.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "tests/support/json_text.h"
#include "devhost/runtime/recording_backend.h"
#include "tests/datadevice/round_probe.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using kpmtest::parse_json;

TEST(DataDeviceConstruction, StartsEmpty)
{
    RoundProbe device;
    EXPECT_EQ(device.b_mode, 1);
    EXPECT_EQ(device.record_bytes(), Bytes(131, 0));
    EXPECT_TRUE(device.snapshot.isNull());
    EXPECT_TRUE(device.snapshot_time.is_not_a_date_time());
}

struct ModeCase {
    const char* b_mode;  // JSON text of the value
    int expected;
};

std::ostream& operator<<(std::ostream& out, const ModeCase& c) { return out << c.b_mode; }

class ModeSetting : public testing::TestWithParam<ModeCase> {};

// Text form of the value, read as atof reads it, truncated toward zero;
// values past the int range are clamped.
INSTANTIATE_TEST_SUITE_P(
    DataDeviceSettings, ModeSetting,
    testing::Values(ModeCase{"2", 2}, ModeCase{"\"3\"", 3}, ModeCase{"2.9", 2},
                    ModeCase{"-2.9", -2}, ModeCase{"\"-1.5\"", -1}, ModeCase{"\"abc\"", 0},
                    ModeCase{"\"\"", 0}, ModeCase{"true", 0}, ModeCase{"false", 0},
                    ModeCase{"\"  42 volts\"", 42}, ModeCase{"0", 0},
                    ModeCase{"2147483647", INT_MAX}, ModeCase{"-2147483648", INT_MIN},
                    ModeCase{"2147483648", INT_MAX}, ModeCase{"1e300", INT_MAX},
                    ModeCase{"-1e300", INT_MIN}, ModeCase{"18446744073709551615", INT_MAX},
                    ModeCase{"-9223372036854775808", INT_MIN},
                    ModeCase{"\"1e999\"", INT_MAX}, ModeCase{"\"nan\"", 0}));

TEST_P(ModeSetting, ConvertsTheTextForm)
{
    devhost::RecordingBackend host;
    RoundProbe device;
    host.attach(device);
    device.b_mode = 77;
    device.InitSetting(parse_json(std::string("{\"appSetting\": {\"b_mode\": ") + GetParam().b_mode +
                             "}}"));
    EXPECT_EQ(device.b_mode, GetParam().expected) << GetParam().b_mode;
}

TEST(DataDeviceSettings, ModeUnchangedUnlessNamed)
{
    for (const char* settings :
         {"{}", "null", "{\"appSetting\": null}", "{\"appSetting\": \"b_mode\"}",
          "{\"appSetting\": 5}", "{\"appSetting\": {}}", "{\"appSetting\": {\"b_mode\": null}}",
          "{\"b_mode\": 9}"}) {
        devhost::RecordingBackend host;
        RoundProbe device;
        host.attach(device);
        device.b_mode = 77;
        device.data_id = 0x0A0B0C0D;
        EXPECT_TRUE(device.InitSetting(parse_json(settings)));
        EXPECT_EQ(device.b_mode, 77) << settings;
        EXPECT_EQ(device.record.data_id, 0x0A0B0C0Du) << settings;
        EXPECT_EQ(host.calls_named("SPModbus::InitSetting").size(), 1u) << settings;
    }
}

TEST(DataDeviceSettings, WholeConfigurationGoesToTheBaseAndItsResultComesBack)
{
    devhost::RecordingBackend host;
    host.script_init_setting({false, true});
    RoundProbe device;
    host.attach(device);
    device.data_id = 7;
    const Json::Value settings = parse_json("{\"appSetting\": {\"b_mode\": 4}, \"port\": \"ttyS1\"}");

    EXPECT_FALSE(device.InitSetting(settings));
    EXPECT_EQ(device.record.data_id, 7u);
    device.data_id = 8;
    EXPECT_TRUE(device.InitSetting(settings));
    EXPECT_EQ(device.record.data_id, 8u);

    const auto calls = host.calls_named("SPModbus::InitSetting");
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].text, settings.toStyledString());
}

TEST(DataDeviceSettings, ValueWithoutTextFormRaisesBeforeTheBase)
{
    for (const char* settings : {"{\"appSetting\": {\"b_mode\": [1]}}",
                                 "{\"appSetting\": {\"b_mode\": {\"v\": 1}}}", "[1]", "3"}) {
        devhost::RecordingBackend host;
        RoundProbe device;
        host.attach(device);
        device.data_id = 99;
        EXPECT_THROW(device.InitSetting(parse_json(settings)), Json::Exception) << settings;
        EXPECT_EQ(device.b_mode, 1) << settings;
        EXPECT_EQ(device.record.data_id, 99u) << settings;
        EXPECT_TRUE(host.calls().empty()) << settings;
    }
}

Bytes patterned_record()
{
    Bytes bytes(131);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<std::uint8_t>(i * 7 + 1);
    return bytes;
}

// A null record is refused whatever the length, the record's own included.
TEST(DataDeviceCache, RefusesEveryOtherLengthOrNoRecordAndChangesNothing)
{
    const Bytes offered(200, 0xEE);
    std::vector<std::pair<const std::uint8_t*, int>> offers;
    for (int length : {0, 1, 130, 132, 200, -1, -131, INT_MIN})
        offers.emplace_back(offered.data(), length);
    offers.emplace_back(nullptr, 131);
    for (const auto& [data, length] : offers) {
        const std::string name = (data == nullptr ? "null, " : "") + std::to_string(length);
        devhost::RecordingBackend host;
        RoundProbe device;
        host.attach(device);
        std::memcpy(&device.record, patterned_record().data(), 131);
        testing::internal::CaptureStdout();
        EXPECT_EQ(device.LoadFromCache(data, length), 0) << name;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << name;
        EXPECT_EQ(device.record_bytes(), patterned_record()) << name;
        EXPECT_FALSE(device.data_ready) << name;
        EXPECT_TRUE(device.data_time.is_not_a_date_time()) << name;
        EXPECT_TRUE(host.calls().empty()) << name;
    }
    devhost::RecordingBackend host;
    RoundProbe device;
    host.attach(device);
    const std::string text_form(130, 'x');
    EXPECT_EQ(static_cast<VDeviceInterface&>(device).LoadFromCache(text_form), 0);
    EXPECT_EQ(static_cast<VDeviceInterface&>(device).LoadFromCache(std::string()), 0);
    EXPECT_TRUE(host.calls().empty());
}

// Both forms of the cache, bytes and text, complete one round with the
// cached record, restamped with the current time.
TEST(DataDeviceCache, TakesARecordOfExactSizeAndCompletesARound)
{
    const Bytes cached = patterned_record();
    for (bool as_text : {false, true}) {
        devhost::RecordingBackend host;
        RoundProbe device;
        host.attach(device);
        testing::internal::CaptureStdout();
        const auto before = boost::posix_time::second_clock::local_time();
        const int taken =
            as_text ? static_cast<VDeviceInterface&>(device).LoadFromCache(
                          std::string(cached.begin(), cached.end()))
                    : device.LoadFromCache(cached.data(), static_cast<int>(cached.size()));
        const auto after = boost::posix_time::second_clock::local_time();
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "rvSize is 0\n");

        EXPECT_EQ(taken, 1);
        EXPECT_TRUE(device.data_ready);
        EXPECT_LE(before, device.data_time);
        EXPECT_GE(after, device.data_time);
        const Bytes now = device.record_bytes();
        EXPECT_TRUE(std::equal(cached.begin(), cached.begin() + 124, now.begin()));
        const ttime stamp = get_ttime(device.data_time);
        EXPECT_EQ(0, std::memcmp(now.data() + 124, &stamp, 7));

        const auto published = host.calls_named("SendSP");
        const auto stored = host.calls_named("SaveDeviceHistory");
        ASSERT_EQ(published.size(), 1u);
        ASSERT_EQ(stored.size(), 1u);
        EXPECT_EQ(published[0].bytes, now);
        EXPECT_EQ(stored[0].bytes, now);
    }
}

}  // namespace
