#include "fuzz/harness/module_host.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fuzz/harness/fuzz_check.h"
#include "meter/quantity_table.h"
#include "devhost/runtime/module_loader.h"

namespace fuzzharness {

struct ModuleHost::Module {
    devhost::LoadedModule loaded{KPM_MODULE_PATH};
};

ModuleHost& ModuleHost::instance()
{
    static ModuleHost host;
    return host;
}

ModuleHost::ModuleHost()
{
    try {
        module_ = std::make_unique<Module>();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "fuzz host: %s\n", error.what());
        std::abort();
    }
}

std::unique_ptr<SPModbus> ModuleHost::new_device()
{
    std::unique_ptr<SPModbus> device = module_->loaded.create_device();
    binding_ = devhost::bind_backends(*device, {&backend_, &backend_, &backend_});
    return device;
}

namespace {

std::string describe_calls(const ModuleHost& host)
{
    std::string text = "calls:";
    for (const auto& name : host.call_names())
        text += " " + name;
    return text;
}

std::uint16_t word_at(const std::vector<std::uint8_t>& bytes, std::size_t offset)
{
    std::uint16_t word;
    std::memcpy(&word, bytes.data() + offset, sizeof word);
    return word;
}

void check_time_stamp(const std::vector<std::uint8_t>& record)
{
    const std::uint16_t year = word_at(record, kTimeStampOffset);
    const std::uint8_t* clock = record.data() + kTimeStampOffset + 2;
    const bool plausible = year >= 2000 && clock[0] >= 1 && clock[0] <= 12 && clock[1] >= 1 &&
                           clock[1] <= 31 && clock[2] < 24 && clock[3] < 60 && clock[4] < 60;
    FUZZ_CHECK(plausible, "record time stamp is not a local time: year " + std::to_string(year));
}

}  // namespace

void check_round_published(const ModuleHost& host, std::uint32_t data_id,
                           const std::uint16_t* registers)
{
    const auto published = host.calls_named("SendSP");
    const auto stored = host.calls_named("SaveDeviceHistory");
    FUZZ_CHECK(published.size() == 1 && stored.size() == 1, describe_calls(host));
    const auto& record = published[0].bytes;
    FUZZ_CHECK(published[0].args == (std::vector<std::int64_t>{kRecordKind, kRecordSize, 0}),
               "SendSP arguments");
    FUZZ_CHECK(record.size() == kRecordSize && stored[0].bytes == record,
               "history differs from the published record");

    std::uint32_t published_id;
    std::memcpy(&published_id, record.data(), sizeof published_id);
    FUZZ_CHECK(published_id == data_id, "data_id " + std::to_string(published_id) +
                                            ", expected " + std::to_string(data_id));
    for (int i = 0; i < kBlockCount; ++i)
        FUZZ_CHECK(word_at(record, kRegistersOffset + 2 * i) == registers[i],
                   "register word " + std::to_string(i) + " differs from the reply");
    check_time_stamp(record);
}

void check_no_host_calls(const ModuleHost& host, const char* after)
{
    FUZZ_CHECK(host.call_names().empty(), std::string(after) + ": " + describe_calls(host));
}

void check_snapshot(const Json::Value& snapshot, const std::uint16_t* registers)
{
    if (registers == nullptr) {
        FUZZ_CHECK(snapshot.isNull(), "snapshot before any round: " + snapshot.toStyledString());
        return;
    }
    FUZZ_CHECK(snapshot.isObject() && snapshot.size() == kQuantityCount + 1,
               "snapshot shape: " + snapshot.toStyledString());
    for (const Quantity& quantity : kQuantities) {
        const Json::Value& value = snapshot[quantity.key];
        const double expected = quantity_value(quantity, registers[quantity.word]);
        FUZZ_CHECK(value.isDouble() && value.asDouble() == expected,
                   std::string("snapshot ") + quantity.key + " = " + value.toStyledString());
    }
    FUZZ_CHECK(snapshot["更新时间"].isString(), "snapshot update time");
}

std::int32_t query_write_outcome(SPModbus& device)
{
    std::int32_t outcome = 0;
    int count = -7;
    const int result = device.DeviceIoControl(0, nullptr, 0, &outcome, sizeof outcome, count);
    FUZZ_CHECK(result == 0 && count == 4, "result query failed");
    return outcome;
}

}  // namespace fuzzharness

// Loading the module before fuzzing starts lets libFuzzer count the module's
// coverage from the first input on.
extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzzharness::ModuleHost::instance();
    return 0;
}
