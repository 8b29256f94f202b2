// DeviceIoControl as a host may call it: any code, any input bytes and
// declared lengths, any output buffer, interleaved with polls and with the
// meter's replies. A model of what the host has asked for tracks the
// transaction in progress and the write outcome, and every answer is checked
// against it: results, byte counts, untouched buffers, the host calls made,
// the records published and the snapshot served.
//
// Script, one operation after another until the input ends:
//   op % 8 in 0..3  control request: code selector (u8; 0xF0 and up: an i32
//                   code follows), input buffer, output buffer (caller_buffer.h)
//   op % 8 == 4     poll
//   op % 8 == 5     the meter answers the transaction in progress: u8 (odd:
//                   the echo the write expects; even: the u16 that follows);
//                   a block read takes 60 u16 register words
//   op % 8 == 6     raw reply: 128 u16 reply words, then kind (i32), length (i32)
//   op % 8 == 7     the device is replaced by a new one
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <json/reader.h>

#include "fuzz/harness/byte_script.h"
#include "fuzz/harness/caller_buffer.h"
#include "fuzz/harness/fuzz_check.h"
#include "fuzz/harness/module_host.h"
#include "devhost/runtime/reply_layout.h"

namespace {

using fuzzharness::ByteScript;
using fuzzharness::CallerBuffer;
using fuzzharness::ModuleHost;

constexpr int kWriteRegister = 206;
constexpr int kWriteRegisters = 210;
constexpr int kSignalRequest = 310;
constexpr int kOpenPortRequest = 320;
constexpr int kSnapshotText = 801;
constexpr int kSnapshotAddress = 803;
constexpr int kBlockRead = 11;

// The codes the module knows, then codes that are all result queries.
constexpr int kCodes[] = {kWriteRegister, kWriteRegisters, kSignalRequest, kOpenPortRequest,
                          kSnapshotText,  kSnapshotAddress, 0,              802,
                          1000,           kBlockRead,       -1,             INT_MIN,
                          INT_MAX,        205,              211,            804};
constexpr std::size_t kMaxInputBytes = 4096;
constexpr std::size_t kMaxOutputBytes = 2048;
constexpr int kOutCountUnset = 0x5A5A5A5A;

// What the host knows of one device from what it asked it to do.
struct DeviceModel {
    std::int32_t tab = 0;
    std::int32_t write_result = -1;
    std::int32_t write_expect = -1;
    bool have_round = false;
    std::uint16_t registers[fuzzharness::kBlockCount] = {};
    const void* snapshot_address = nullptr;
};

class Session {
public:
    explicit Session(ModuleHost& host) : host_(host), device_(host.new_device()) {}

    void control_request(ByteScript& script);
    void poll();
    void meter_answers(ByteScript& script);
    void raw_reply(ByteScript& script);
    void replace_device()
    {
        device_ = host_.new_device();
        model_ = DeviceModel{};
    }

    void check_tab() const
    {
        FUZZ_CHECK(device_->tab == model_.tab, "tab " + std::to_string(device_->tab) +
                                                   ", expected " + std::to_string(model_.tab));
    }

private:
    void deliver_reply(std::int32_t kind, unsigned length);
    int write_register(const CallerBuffer& in);
    int write_registers(const CallerBuffer& in);
    int signal_request(const CallerBuffer& in);
    void snapshot_text(int result, int count, const CallerBuffer& out);
    void snapshot_address(int result, int count, const CallerBuffer& out);
    void result_query(int result, int count, const CallerBuffer& out);

    ModuleHost& host_;
    std::unique_ptr<SPModbus> device_;
    DeviceModel model_;
};

bool buffers_usable(const CallerBuffer& in, const CallerBuffer& out)
{
    return in.declared() >= 0 && out.declared() >= 0 &&
           !(in.pointer() == nullptr && in.declared() > 0) &&
           !(out.pointer() == nullptr && out.declared() > 0);
}

std::uint16_t word_of(const CallerBuffer& in, int index)
{
    std::uint16_t word;
    std::memcpy(&word, in.bytes() + 2 * index, sizeof word);
    return word;
}

void Session::control_request(ByteScript& script)
{
    const std::uint8_t selector = script.u8();
    const int code = selector >= 0xF0 ? script.i32()
                                      : kCodes[selector % (sizeof kCodes / sizeof kCodes[0])];
    const CallerBuffer in = CallerBuffer::input_from(script, kMaxInputBytes);
    const CallerBuffer out = CallerBuffer::output_from(script, kMaxOutputBytes);

    host_.clear_calls();
    int count = kOutCountUnset;
    const int result =
        device_->DeviceIoControl(code, in.pointer(), in.declared(), out.pointer(), out.declared(),
                                 count);
    const std::string what = "code " + std::to_string(code) + " in_len " +
                             std::to_string(in.declared()) + " out_len " +
                             std::to_string(out.declared());
    FUZZ_CHECK(result == 0 || result == -1, what + ": result " + std::to_string(result));

    if (!buffers_usable(in, out)) {
        FUZZ_CHECK(result == -1 && count == kOutCountUnset, what + ": unusable buffers taken");
        FUZZ_CHECK(out.untouched_from(0), what + ": wrote through an unusable buffer");
        fuzzharness::check_no_host_calls(host_, what.c_str());
        return;
    }

    const bool has_no_output = code == kWriteRegister || code == kWriteRegisters ||
                               code == kSignalRequest || code == kOpenPortRequest;
    if (has_no_output) {
        FUZZ_CHECK(count == kOutCountUnset, what + ": out_count set by a request with no output");
        FUZZ_CHECK(out.untouched_from(0), what + ": output written by a request with no output");
    }

    switch (code) {
    case kWriteRegister:
        FUZZ_CHECK(result == write_register(in), what);
        break;
    case kWriteRegisters:
        FUZZ_CHECK(result == write_registers(in), what);
        break;
    case kSignalRequest: {
        const int parsed = signal_request(in);
        FUZZ_CHECK(result == -1 || parsed == 0, what + ": accepted a text the reader refuses");
        break;
    }
    case kOpenPortRequest:
        FUZZ_CHECK(result == 0, what);
        model_.tab = kOpenPortRequest;
        model_.write_result = -1;
        FUZZ_CHECK(host_.call_names() == std::vector<std::string>{"OpenPort"}, what);
        break;
    case kSnapshotText:
        snapshot_text(result, count, out);
        break;
    case kSnapshotAddress:
        snapshot_address(result, count, out);
        break;
    default:
        result_query(result, count, out);
        break;
    }
    // A refused write leaves the model, and so must leave the device, as it was.
    check_tab();
}

// The module refuses input shorter than the two words it reads.
int Session::write_register(const CallerBuffer& in)
{
    if (in.declared() < 4) {
        fuzzharness::check_no_host_calls(host_, "refused 206");
        return -1;
    }
    const std::uint16_t address = word_of(in, 0);
    const std::uint16_t value = word_of(in, 1);
    const auto writes = host_.calls_named("modbus_write_register");
    FUZZ_CHECK(host_.call_names() ==
                   (std::vector<std::string>{"OpenPort", "modbus_write_register"}),
               "206 host calls");
    FUZZ_CHECK(writes[0].args == (std::vector<std::int64_t>{address, value}), "206 arguments");
    model_.tab = kWriteRegister;
    model_.write_result = -1;
    model_.write_expect = value;
    return 0;
}

int Session::write_registers(const CallerBuffer& in)
{
    if (in.declared() < 2) {
        fuzzharness::check_no_host_calls(host_, "refused 210");
        return -1;
    }
    const int registers = in.declared() / 2 - 1;
    const auto writes = host_.calls_named("modbus_write_registers");
    FUZZ_CHECK(host_.call_names() ==
                   (std::vector<std::string>{"OpenPort", "modbus_write_registers"}),
               "210 host calls");
    FUZZ_CHECK(writes[0].args == (std::vector<std::int64_t>{word_of(in, 0), registers}),
               "210 arguments");
    FUZZ_CHECK(writes[0].words.size() == static_cast<std::size_t>(registers), "210 word count");
    for (int i = 0; i < registers; ++i)
        FUZZ_CHECK(writes[0].words[i] == word_of(in, 1 + i),
                   "210 value " + std::to_string(i) + " differs from the input");
    model_.tab = kWriteRegisters;
    model_.write_result = -1;
    model_.write_expect = registers;
    return 0;
}

// Whether the host's own reader takes the text: the module may refuse more
// (e.g. nesting the reader would only take by deep recursion), never less.
int Session::signal_request(const CallerBuffer& in)
{
    FUZZ_CHECK(host_.call_names() == std::vector<std::string>{"OpenPort"}, "310 host calls");
    model_.tab = kSignalRequest;
    model_.write_result = -1;
    if (in.declared() == 0)
        return -1;
    const char* text = reinterpret_cast<const char*>(in.bytes());
    // The lenient reader hosts parse these requests with (comments, any root).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    Json::Reader reader;
#pragma GCC diagnostic pop
    Json::Value parsed;
    try {
        return reader.parse(text, text + in.declared(), parsed) ? 0 : -1;
    } catch (const Json::Exception&) {
        return -1;
    }
}

void Session::snapshot_text(int result, int count, const CallerBuffer& out)
{
    fuzzharness::check_no_host_calls(host_, "801");
    FUZZ_CHECK(count > 0, "801 reported no length");
    if (out.declared() < count) {
        FUZZ_CHECK(result == -1 && out.untouched_from(0), "801 into a buffer too small");
        return;
    }
    FUZZ_CHECK(result == 0, "801 refused a buffer large enough");
    FUZZ_CHECK(out.untouched_from(static_cast<std::size_t>(count)), "801 wrote past its text");
    const char* text = reinterpret_cast<const char*>(out.bytes());
    FUZZ_CHECK(text[count - 1] == '\n', "801 text does not end with a line feed");
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value snapshot;
    std::string errors;
    FUZZ_CHECK(reader->parse(text, text + count, &snapshot, &errors), "801 text: " + errors);
    fuzzharness::check_snapshot(snapshot, model_.have_round ? model_.registers : nullptr);
}

void Session::snapshot_address(int result, int count, const CallerBuffer& out)
{
    fuzzharness::check_no_host_calls(host_, "803");
    FUZZ_CHECK(count == static_cast<int>(sizeof(void*)), "803 count");
    if (out.declared() < static_cast<int>(sizeof(void*))) {
        FUZZ_CHECK(result == -1 && out.untouched_from(0), "803 into a buffer too small");
        return;
    }
    FUZZ_CHECK(result == 0 && out.untouched_from(sizeof(void*)), "803 result");
    const Json::Value* snapshot;
    std::memcpy(&snapshot, out.bytes(), sizeof snapshot);
    FUZZ_CHECK(model_.snapshot_address == nullptr || model_.snapshot_address == snapshot,
               "803 address moved");
    model_.snapshot_address = snapshot;
    fuzzharness::check_snapshot(*snapshot, model_.have_round ? model_.registers : nullptr);
}

void Session::result_query(int result, int count, const CallerBuffer& out)
{
    fuzzharness::check_no_host_calls(host_, "result query");
    FUZZ_CHECK(result == 0, "result query failed");
    if (out.declared() < 4) {
        FUZZ_CHECK(count == 0 && out.untouched_from(0), "result query into a buffer too small");
        return;
    }
    std::int32_t outcome;
    std::memcpy(&outcome, out.bytes(), sizeof outcome);
    FUZZ_CHECK(count == 4 && out.untouched_from(4), "result query wrote other than 4 bytes");
    FUZZ_CHECK(outcome == model_.write_result, "write outcome " + std::to_string(outcome) +
                                                   ", expected " +
                                                   std::to_string(model_.write_result));
}

void Session::poll()
{
    host_.clear_calls();
    FUZZ_CHECK(device_->RefreshStatus() == 1, "RefreshStatus result");
    model_.tab = kBlockRead;
    const auto reads = host_.calls_named("modbus_read_registers");
    FUZZ_CHECK(reads.size() == 1 && reads[0].args == (std::vector<std::int64_t>{
                                                          fuzzharness::kBlockStart,
                                                          fuzzharness::kBlockCount}),
               "poll did not read registers 10..69");
    check_tab();
}

void Session::meter_answers(ByteScript& script)
{
    const bool echo_expected = (script.u8() & 1) != 0;
    switch (model_.tab) {
    case kBlockRead: {
        std::uint16_t words[fuzzharness::kBlockCount];
        for (auto& word : words)
            word = script.u16();
        devhost::place_read_reply(*device_, words, fuzzharness::kBlockCount);
        break;
    }
    case kWriteRegister:
        devhost::place_write_single_reply(
            *device_, echo_expected ? static_cast<std::uint16_t>(model_.write_expect)
                                    : script.u16());
        break;
    case kWriteRegisters:
        devhost::place_write_multiple_reply(
            *device_, echo_expected ? static_cast<std::uint16_t>(model_.write_expect)
                                    : script.u16());
        break;
    default:
        break;
    }
    deliver_reply(3, 2 * fuzzharness::kBlockCount);
}

void Session::raw_reply(ByteScript& script)
{
    for (auto& word : device_->reply_words)
        word = script.u16();
    const std::int32_t kind = script.i32();
    deliver_reply(kind, static_cast<unsigned>(script.i32()));
}

// The outcome the model expects is worked out from the words actually in the
// reply area, whatever put them there.
void Session::deliver_reply(std::int32_t kind, unsigned length)
{
    std::uint16_t reply[SPModbus::kReplyWordCount];
    std::memcpy(reply, device_->reply_words, sizeof reply);
    host_.clear_calls();
    const int result = device_->process_payload(kind, length);
    switch (model_.tab) {
    case kBlockRead:
        FUZZ_CHECK(result == 0, "block reply not handled");
        std::memcpy(model_.registers, reply, sizeof model_.registers);
        model_.have_round = true;
        fuzzharness::check_round_published(host_, device_->data_id, model_.registers);
        break;
    case kWriteRegister:
    case kWriteRegisters: {
        FUZZ_CHECK(result == 0, "write reply not handled");
        FUZZ_CHECK(host_.call_names() == std::vector<std::string>{"Reset"},
                   "write reply host calls");
        const bool confirmed =
            model_.tab == kWriteRegister
                ? reply[0] == model_.write_expect
                : reply[0] == 16 && static_cast<std::int32_t>(reply[1]) == model_.write_expect;
        model_.write_result = confirmed ? 1 : 3;
        break;
    }
    default:
        FUZZ_CHECK(result == 1, "reply to no transaction was handled");
        fuzzharness::check_no_host_calls(host_, "reply to no transaction");
        break;
    }
    check_tab();
    FUZZ_CHECK(fuzzharness::query_write_outcome(*device_) == model_.write_result,
               "write outcome after a reply");
}

void run_script(Session& session, ByteScript& script)
{
    while (!script.done()) {
        switch (script.u8() % 8) {
        case 4:
            session.poll();
            break;
        case 5:
            session.meter_answers(script);
            break;
        case 6:
            session.raw_reply(script);
            break;
        case 7:
            session.replace_device();
            break;
        default:
            session.control_request(script);
            break;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    return fuzzharness::run_input<Session>(data, size, run_script);
}
