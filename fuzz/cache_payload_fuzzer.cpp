// LoadFromCache and process_payload with whatever a host or a corrupted cache
// can hand over: any length and bytes for the cache (buffer and text forms),
// any transaction kind in `tab`, any reply words, kind and length for a
// reply, any id and name for a value query. Checked: only a 131-byte cache is taken, and it completes a round
// with its own bytes; a reply completes a round or a write exactly when `tab`
// says so, publishes the words received, and a write no request started is
// never reported confirmed; a value query only ever says why it has no value.
//
// Script, one operation after another until the input ends:
//   op % 5 == 0  cache, buffer form: shape (u8), declared length (i32), bytes
//   op % 5 == 1  cache, text form: size (u8; 0 means 131), bytes
//   op % 5 == 2  reply: tab selector (u8; 0xF0 and up: an i32 follows),
//                128 u16 reply words, kind (i32), length (i32)
//   op % 5 == 3  poll
//   op % 5 == 4  value query: id (i32), name size (u8), name bytes
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "fuzz/harness/byte_script.h"
#include "fuzz/harness/caller_buffer.h"
#include "fuzz/harness/fuzz_check.h"
#include "fuzz/harness/module_host.h"

namespace {

using fuzzharness::ByteScript;
using fuzzharness::CallerBuffer;
using fuzzharness::kBlockCount;
using fuzzharness::kRecordSize;
using fuzzharness::ModuleHost;

constexpr int kBlockRead = 11;
constexpr int kWriteRegister = 206;
constexpr int kWriteRegisters = 210;
constexpr int kTabs[] = {kBlockRead, kWriteRegister, kWriteRegisters, 310, 320, 0, -1,
                         INT_MIN,    INT_MAX,        12,              205, 801, 803};

enum class CacheShape { Exact, Declared, NullRecordSize, NullDeclared, kCount };

struct DeviceModel {
    std::uint32_t data_id = 0;
    std::int32_t write_result = -1;
    bool have_round = false;
};

class Session {
public:
    explicit Session(ModuleHost& host) : host_(host), device_(host.new_device()) {}

    void cache_buffer(ByteScript& script);
    void cache_text(ByteScript& script);
    void reply(ByteScript& script);
    void poll();
    void value_query(ByteScript& script);

private:
    void check_cache_taken(int result, const unsigned char* bytes, bool acceptable);

    ModuleHost& host_;
    std::unique_ptr<SPModbus> device_;
    DeviceModel model_;
};

void Session::cache_buffer(ByteScript& script)
{
    const auto shape =
        static_cast<CacheShape>(script.u8() % static_cast<int>(CacheShape::kCount));
    const int declared = script.i32();
    switch (shape) {
    case CacheShape::Exact: {
        const auto given = script.bytes(kRecordSize);
        CallerBuffer buffer(kRecordSize, 0, static_cast<int>(kRecordSize));
        if (!given.empty())
            std::memcpy(buffer.bytes(), given.data(), given.size());
        host_.clear_calls();
        const int result = device_->LoadFromCache(buffer.bytes(), buffer.declared());
        check_cache_taken(result, buffer.bytes(), true);
        break;
    }
    case CacheShape::Declared: {
        // Only the bytes given are real; a declared length past them is a lie
        // the module must not act on, and it is never the record size here.
        const auto given = script.bytes(script.u8());
        const int length = declared == static_cast<int>(kRecordSize) ? declared + 1 : declared;
        CallerBuffer buffer(given.size(), 0, length);
        if (!given.empty())
            std::memcpy(buffer.bytes(), given.data(), given.size());
        host_.clear_calls();
        const int result = device_->LoadFromCache(buffer.bytes(), buffer.declared());
        check_cache_taken(result, buffer.bytes(), false);
        break;
    }
    case CacheShape::NullRecordSize:
    case CacheShape::NullDeclared:
    default: {
        const int length = shape == CacheShape::NullRecordSize ? kRecordSize : declared;
        host_.clear_calls();
        const int result = device_->LoadFromCache(nullptr, length);
        check_cache_taken(result, nullptr, false);
        break;
    }
    }
}

void Session::cache_text(ByteScript& script)
{
    const std::size_t size = script.u8();
    const auto given = script.bytes(size == 0 ? kRecordSize : size);
    const std::string text(given.begin(), given.end());
    host_.clear_calls();
    const int result = device_->LoadFromCache(text);
    check_cache_taken(result, reinterpret_cast<const unsigned char*>(text.data()),
                      text.size() == kRecordSize);
}

void Session::check_cache_taken(int result, const unsigned char* bytes, bool acceptable)
{
    if (!acceptable) {
        FUZZ_CHECK(result == 0, "took a cache of the wrong size");
        fuzzharness::check_no_host_calls(host_, "refused cache");
        return;
    }
    FUZZ_CHECK(result == 1, "refused a cache of the record size");
    model_.have_round = true;
    std::memcpy(&model_.data_id, bytes, sizeof model_.data_id);
    std::uint16_t registers[kBlockCount];
    std::memcpy(registers, bytes + fuzzharness::kRegistersOffset, sizeof registers);
    fuzzharness::check_round_published(host_, model_.data_id, registers);
}

void Session::reply(ByteScript& script)
{
    const std::uint8_t selector = script.u8();
    const int tab =
        selector >= 0xF0 ? script.i32() : kTabs[selector % (sizeof kTabs / sizeof kTabs[0])];
    std::uint16_t words[SPModbus::kReplyWordCount];
    for (auto& word : words)
        word = script.u16();
    const std::int32_t kind = script.i32();
    const auto length = static_cast<unsigned>(script.i32());

    device_->tab = tab;
    std::memcpy(device_->reply_words, words, sizeof words);
    host_.clear_calls();
    const int result = device_->process_payload(kind, length);
    FUZZ_CHECK(device_->tab == tab, "process_payload changed tab");
    switch (tab) {
    case kBlockRead:
        FUZZ_CHECK(result == 0, "block reply not handled");
        fuzzharness::check_round_published(host_, model_.data_id, words);
        model_.have_round = true;
        break;
    case kWriteRegister:
    case kWriteRegisters:
        // No write was started: whatever the reply says, it confirms nothing.
        FUZZ_CHECK(result == 0, "write reply not handled");
        FUZZ_CHECK(host_.call_names() == std::vector<std::string>{"Reset"},
                   "write reply host calls");
        model_.write_result = 3;
        break;
    default:
        FUZZ_CHECK(result == 1, "reply to tab " + std::to_string(tab) + " was handled");
        fuzzharness::check_no_host_calls(host_, "reply to no transaction");
        break;
    }
    FUZZ_CHECK(fuzzharness::query_write_outcome(*device_) == model_.write_result,
               "write outcome after a reply to tab " + std::to_string(tab));
}

void Session::poll()
{
    FUZZ_CHECK(device_->RefreshStatus() == 1 && device_->tab == kBlockRead, "poll");
}

// Rounds in a fuzz run are seconds old at most, so the data is never stale.
void Session::value_query(ByteScript& script)
{
    const auto id = static_cast<unsigned>(script.i32());
    const auto name_bytes = script.bytes(script.u8());
    const std::string name(name_bytes.begin(), name_bytes.end());
    const char* expected = model_.have_round ? "不支持变量" : "数据未就绪";
    host_.clear_calls();
    try {
        device_->Get_Value(id, name);
        FUZZ_CHECK(false, "Get_Value returned a value");
    } catch (const std::out_of_range& refusal) {
        FUZZ_CHECK(std::string(refusal.what()) == expected,
                   std::string("Get_Value said ") + refusal.what() + ", expected " + expected);
    }
    fuzzharness::check_no_host_calls(host_, "value query");
}

void run_script(Session& session, ByteScript& script)
{
    while (!script.done()) {
        switch (script.u8() % 5) {
        case 0:
            session.cache_buffer(script);
            break;
        case 1:
            session.cache_text(script);
            break;
        case 2:
            session.reply(script);
            break;
        case 3:
            session.poll();
            break;
        default:
            session.value_query(script);
            break;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    return fuzzharness::run_input<Session>(data, size, run_script);
}
