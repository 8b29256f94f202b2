// InitSetting with any configuration a host can parse: the input is JSON text
// that the host's reader turns into the value passed in (deeply nested text
// included, as deep as the reader takes). An exception from the JSON library
// is an allowed outcome; a crash or a sanitizer report is not. Checked: the
// base's answer is passed through, the whole configuration reaches the base
// unless the library raised first, and the data id lands in the next record
// in either case.
#include <cstdint>
#include <memory>
#include <string>

#include <json/reader.h>

#include "fuzz/harness/fuzz_check.h"
#include "fuzz/harness/module_host.h"
#include "devhost/runtime/reply_layout.h"

namespace {

using fuzzharness::ModuleHost;

// The host reads configuration files with the reader's defaults.
bool parse_configuration(const std::uint8_t* data, std::size_t size, Json::Value& settings)
{
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    const char* text = reinterpret_cast<const char*>(data);
    try {
        return reader->parse(text, text + size, &settings, nullptr);
    } catch (const Json::Exception&) {
        return false;  // deeper than the reader's stack limit: the host refuses the file
    }
}

// Configures the device once, as Init does, and checks what the base saw.
void configure(ModuleHost& host, SPModbus& device, const Json::Value& settings,
               std::uint32_t data_id, bool base_accepts)
{
    host.backend().script_init_setting({base_accepts});
    host.clear_calls();
    bool raised = false;
    bool result = false;
    try {
        result = device.Init(std::weak_ptr<SMDController>(), data_id, settings);
    } catch (const Json::Exception&) {
        raised = true;
    }
    const auto base_calls = host.calls_named("SPModbus::InitSetting");
    if (raised) {
        FUZZ_CHECK(base_calls.empty(), "the base was configured after the library raised");
        return;
    }
    FUZZ_CHECK(result == base_accepts, "InitSetting did not pass the base's result through");
    FUZZ_CHECK(base_calls.size() == 1 && base_calls[0].text == settings.toStyledString(),
               "the base did not get the whole configuration");
}

void check_data_id_published(ModuleHost& host, SPModbus& device, std::uint32_t data_id)
{
    const std::uint16_t registers[fuzzharness::kBlockCount] = {};
    device.RefreshStatus();
    devhost::place_read_reply(device, registers, fuzzharness::kBlockCount);
    host.clear_calls();
    FUZZ_CHECK(device.process_payload(3, 120) == 0, "block reply not handled");
    fuzzharness::check_round_published(host, data_id, registers);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Json::Value settings;
    if (!parse_configuration(data, size, settings))
        return 0;

    ModuleHost& host = ModuleHost::instance();
    auto device = host.new_device();
    const std::uint32_t data_id = 0x1000u + static_cast<std::uint32_t>(size);
    configure(host, *device, settings, data_id, size % 2 == 0);
    check_data_id_published(host, *device, data_id);

    // Configured again, as a host does on a reload: the data id follows.
    configure(host, *device, settings, data_id + 1, size % 2 != 0);
    check_data_id_published(host, *device, data_id + 1);
    host.backend().script_init_setting({});
    return 0;
}
