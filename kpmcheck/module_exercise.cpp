#include "kpmcheck/module_exercise.h"

#include <json/reader.h>
#include <json/value.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <tuple>

#include "kpmcheck/differences.h"
#include "host/spmodbus.h"
#include "kpmcheck/known_answers.h"
#include "devhost/runtime/module_loader.h"
#include "devhost/runtime/recording_backend.h"
#include "devhost/runtime/reply_layout.h"

namespace kpmcheck {

namespace {

using known::Round;
using Names = std::vector<std::string>;
using Numbers = std::vector<std::int64_t>;

constexpr int kSnapshotText = 801;
constexpr int kSnapshotAddress = 803;
constexpr int kWriteRegister = 206;
constexpr int kWriteRegisters = 210;
// Room for the 801 text; it is about 1.2 KiB.
constexpr std::size_t kTextRoom = 16 * 1024;
// The time stamp a stored record carries; a round from it must replace it.
constexpr unsigned char kStoredStamp[7] = {0xe4, 0x07, 1, 2, 3, 4, 5};  // 2020-1-2 3:4:5

struct LocalTime {
    int year, month, day, hour, minute, second;
    auto fields() const { return std::tie(year, month, day, hour, minute, second); }
};

LocalTime local_now()
{
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    localtime_r(&now, &parts);
    return LocalTime{parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday,
                     parts.tm_hour,        parts.tm_min,     parts.tm_sec};
}

// The record's 7-byte stamp: year (2 bytes, host order), month, day, hour,
// minute, second.
LocalTime stamp_of(const std::vector<std::uint8_t>& record)
{
    const std::uint8_t* stamp = record.data() + known::kStampOffset;
    std::uint16_t year;
    std::memcpy(&year, stamp, sizeof year);
    return LocalTime{year, stamp[2], stamp[3], stamp[4], stamp[5], stamp[6]};
}

std::string text_of(const LocalTime& time)
{
    return std::to_string(time.year) + "-" + std::to_string(time.month) + "-" +
           std::to_string(time.day) + " " + std::to_string(time.hour) + ":" +
           std::to_string(time.minute) + ":" + std::to_string(time.second);
}

std::string number_text(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

std::string hex(std::uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(value));
    return text;
}

// Where in the record a byte lies, for the difference line.
std::string record_field(std::size_t offset)
{
    if (offset < 4)
        return "data id";
    if (offset < known::kStampOffset)
        return "register " + std::to_string(known::kBlockStart + (offset - 4) / 2);
    return "time stamp";
}

// The module's standard output, caught for the duration: its round lines
// are compared, and would otherwise mix with the report.
class CaughtOutput {
public:
    CaughtOutput() : saved_(std::cout.rdbuf(caught_.rdbuf())) {}
    ~CaughtOutput() { std::cout.rdbuf(saved_); }
    CaughtOutput(const CaughtOutput&) = delete;
    CaughtOutput& operator=(const CaughtOutput&) = delete;
    std::string text() const { return caught_.str(); }

private:
    std::ostringstream caught_;
    std::streambuf* saved_;
};

class Exercise {
public:
    Exercise(const std::string& path, ItemSink& out) : path_(path), out_(out) {}

    void run()
    {
        if (!load() || !configure())
            return;
        const std::string before_round = value_answer();
        const LocalTime first = round_from_registers();
        compare_snapshot(Round::FromRegisters, first, "snapshot text", "snapshot object");
        const LocalTime cached = round_from_cache();
        compare_snapshot(Round::FromCache, cached, "cached text", "cached object");
        compare_value_answers(before_round, value_answer());
        single_write();
        multiple_write();
        step("module output");
        Differences differences;
        differences.expect("standard output", std::string(known::kRoundLine) + known::kRoundLine,
                           output_.text());
        report("module output", differences, "one \"rvSize is 0\" line per round");
        step("unload");
        device_.reset();
        module_.reset();
    }

    void report_exception(const std::string& what)
    {
        out_.add(Status::Failure, current_step_, "the module threw: " + what);
    }

private:
    void step(const std::string& name)
    {
        current_step_ = name;
        out_.step(name);
    }

    void report(const std::string& name, const Differences& differences, const std::string& ok)
    {
        if (differences.empty())
            out_.add(Status::Ok, name, ok);
        else
            out_.add(Status::Failure, name, differences.text());
    }

    bool load()
    {
        step("load");
        try {
            module_ = std::make_unique<devhost::LoadedModule>(path_);
            device_ = module_->create_device();
        } catch (const devhost::ModuleLoadError& error) {
            out_.add(Status::Failure, "load", error.what());
            return false;
        }
        host_.attach(*device_);
        Differences differences;
        differences.expect("device type", "kalvorpowermeter", device_->DeviceType());
        report("load", differences,
               "dlopen, get_providers (" + std::to_string(module_->providers().size()) +
                   " provider), a kalvorpowermeter device");
        return differences.empty();
    }

    bool configure()
    {
        step("configure");
        Json::Value settings;
        std::string error;
        const std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
        const char* text = known::kSettings;
        if (!reader->parse(text, text + std::strlen(text), &settings, &error))
            throw std::logic_error("the check's own settings do not parse: " + error);
        const bool accepted = device_->Init(std::weak_ptr<SMDController>(), known::kDataId, settings);

        Differences differences;
        differences.expect("Init", 1, accepted ? 1 : 0);
        differences.expect("data id", known::kDataId, device_->DataId());
        differences.expect("host operations", Names{"SPModbus::InitSetting"}, host_.call_names());
        const auto passed = host_.calls_named("SPModbus::InitSetting");
        if (passed.size() == 1)
            differences.expect("settings passed to the host", settings.toStyledString(),
                               passed[0].text);
        report("configure", differences,
               "Init with data id " + hex(known::kDataId) +
                   " and the settings: accepted, the settings passed on to the host unchanged");
        return differences.empty();
    }

    std::string value_answer() const
    {
        try {
            return "returned " + number_text(device_->Get_Value(0, "A相电压"));
        } catch (const std::out_of_range& error) {
            return error.what();
        } catch (const std::exception& error) {
            return std::string("threw another kind of exception: ") + error.what();
        }
    }

    void compare_value_answers(const std::string& before_round, const std::string& after_round)
    {
        step("value query");
        Differences differences;
        differences.expect("Get_Value before the first round", known::kValueBeforeFirstRound,
                           before_round);
        differences.expect("Get_Value after a round", known::kValueOfFreshData, after_round);
        report("value query", differences,
               std::string("Get_Value: out_of_range \"") + known::kValueBeforeFirstRound +
                   "\" before the first round, \"" + known::kValueOfFreshData + "\" after one");
    }

    // The host operations of a completed round and the record it published.
    LocalTime compare_round(const std::string& name, Round round, const LocalTime& before,
                            const LocalTime& after, Differences& differences)
    {
        differences.expect("host operations of the round", known::kRoundCalls, host_.call_names());
        const auto published = host_.calls_named("SendSP");
        const auto stored = host_.calls_named("SaveDeviceHistory");
        if (published.size() != 1 || stored.size() != 1) {
            report(name, differences, "");
            return before;
        }
        differences.expect("SendSP kind, length, urgent",
                           Numbers{known::kRecordKind, known::kRecordSize, 0},
                           published[0].args);
        const std::vector<std::uint8_t>& record = published[0].bytes;
        if (record != stored[0].bytes)
            differences.note("the history record differs from the published one");
        LocalTime stamp = before;
        if (record.size() != known::kRecordSize) {
            differences.expect("record length", static_cast<std::int64_t>(known::kRecordSize),
                               static_cast<std::int64_t>(record.size()));
        } else {
            const std::vector<std::uint8_t> head = known::record_head(known::block_of(round));
            for (std::size_t at = 0; at < head.size(); ++at)
                if (record[at] != head[at]) {
                    differences.note("record byte " + std::to_string(at) + " (" + record_field(at) +
                                     "): expected " + std::to_string(head[at]) + ", came " +
                                     std::to_string(record[at]));
                    break;
                }
            stamp = stamp_of(record);
            if (stamp.fields() < before.fields() || after.fields() < stamp.fields())
                differences.note("time stamp " + text_of(stamp) + ", expected the local time of " +
                                 "the round, " + text_of(before) +
                                 (text_of(after) == text_of(before) ? "" : " to " + text_of(after)));
        }
        report(name, differences,
               "a 131-byte record of data id " + hex(known::kDataId) + ", " +
                   (round == Round::FromRegisters ? "the register block" : "the cached registers") +
                   " and the local time " + text_of(stamp) + ", published and stored");
        return stamp;
    }

    LocalTime round_from_registers()
    {
        step("round");
        host_.clear();
        const LocalTime before = local_now();
        Differences differences;
        differences.expect("RefreshStatus", 1, device_->RefreshStatus());
        differences.expect("host operations of a poll", known::kPollCalls, host_.call_names());
        const auto reads = host_.calls_named("modbus_read_registers");
        if (reads.size() == 1)
            differences.expect("registers read (start, count)",
                               Numbers{known::kBlockStart, known::kBlockCount}, reads[0].args);
        host_.clear();
        const known::Block block = known::block_of(Round::FromRegisters);
        devhost::place_read_reply(*device_, block.data(), block.size());
        differences.expect("process_payload", 0,
                           device_->process_payload(device_->tab, 2 * known::kBlockCount));
        return compare_round("round", Round::FromRegisters, before, local_now(), differences);
    }

    LocalTime round_from_cache()
    {
        step("cached round");
        std::vector<std::uint8_t> stored = known::record_head(known::block_of(Round::FromCache));
        stored.insert(stored.end(), std::begin(kStoredStamp), std::end(kStoredStamp));
        host_.clear();
        const LocalTime before = local_now();
        Differences differences;
        differences.expect("LoadFromCache", 1,
                           device_->LoadFromCache(stored.data(), static_cast<int>(stored.size())));
        return compare_round("cached round", Round::FromCache, before, local_now(), differences);
    }

    void compare_snapshot(Round round, const LocalTime& stamp, const std::string& text_item,
                          const std::string& object_item)
    {
        const std::string time = text_of(stamp);
        compare_text(round, time, text_item);
        compare_object_at_address(round, time, object_item);
    }

    void compare_text(Round round, const std::string& time, const std::string& item)
    {
        step(item);
        std::vector<unsigned char> room(kTextRoom);
        int count = -1;
        const int result = device_->DeviceIoControl(kSnapshotText, nullptr, 0, room.data(),
                                                    static_cast<int>(room.size()), count);
        Differences differences;
        differences.expect("801 result", 0, result);
        if (result == 0 && (count < 0 || static_cast<std::size_t>(count) > room.size())) {
            differences.note("801 length " + std::to_string(count) + " outside the buffer given");
        } else if (result == 0) {
            const std::string came(room.begin(), room.begin() + count);
            const std::string expected = known::snapshot_text(round, time);
            if (came != expected)
                differences.note("801 text: " + text_difference(expected, came));
        }
        const char* source = round == Round::FromRegisters ? "register block" : "cached record";
        report(item, differences,
               std::string("801: the known text of the ") + source + ", byte for byte");
    }

    void compare_object_at_address(Round round, const std::string& time, const std::string& item)
    {
        step(item);
        Differences differences;
        unsigned char address_bytes[sizeof(void*)] = {};
        int count = -1;
        differences.expect("803 result", 0,
                           device_->DeviceIoControl(kSnapshotAddress, nullptr, 0, address_bytes,
                                                    static_cast<int>(sizeof address_bytes), count));
        differences.expect("803 length", static_cast<std::int64_t>(sizeof(void*)), count);
        const Json::Value* snapshot = nullptr;
        std::memcpy(&snapshot, address_bytes, sizeof snapshot);
        if (snapshot_address_ == nullptr)
            snapshot_address_ = snapshot;
        else if (snapshot != snapshot_address_)
            differences.note("803 gave another address than before; it must stay the same");
        if (snapshot != nullptr && differences.empty())
            compare_object(*snapshot, round, time, differences);
        report(item, differences,
               "803: an object of the 31 known members, read through the address it gave");
    }

    static void compare_object(const Json::Value& snapshot, Round round, const std::string& time,
                               Differences& differences)
    {
        if (!snapshot.isObject()) {
            differences.note("not an object: " + snapshot.toStyledString());
            return;
        }
        for (const known::Member& member : known::kMembers) {
            const Json::Value* value = snapshot.find(member.key, member.key + std::strlen(member.key));
            if (value == nullptr) {
                differences.note(std::string("no member ") + member.key);
            } else if (member.word == known::kUpdateTime) {
                differences.expect(member.key, time, value->isString() ? value->asString() : "(not text)");
            } else {
                const char* expected = known::member_text(member, round);
                if (!value->isNumeric() || value->asDouble() != std::strtod(expected, nullptr))
                    differences.note(std::string(member.key) + ": expected " + expected + ", came " +
                                     (value->isNumeric() ? number_text(value->asDouble())
                                                         : value->toStyledString()));
            }
        }
        if (snapshot.size() != known::kMemberCount)
            differences.expect("member count", static_cast<std::int64_t>(known::kMemberCount),
                               static_cast<std::int64_t>(snapshot.size()));
    }

    std::int64_t write_outcome()
    {
        std::int32_t outcome = 0;
        int count = -1;
        const int result = device_->DeviceIoControl(known::kWriteOutcomeQuery, nullptr, 0, &outcome,
                                                    sizeof outcome, count);
        return result == 0 && count == static_cast<int>(sizeof outcome) ? outcome : -1000 - result;
    }

    void single_write()
    {
        step("single write");
        host_.clear();
        const std::uint16_t words[2] = {known::kSingleWrite.address, known::kSingleWrite.value};
        int count = 0;
        Differences differences;
        differences.expect("206 result", 0,
                           device_->DeviceIoControl(kWriteRegister, words, sizeof words, nullptr,
                                                    0, count));
        devhost::place_write_single_reply(*device_, known::kSingleWrite.value);
        differences.expect("process_payload", 0, device_->process_payload(device_->tab, 4));
        differences.expect("write outcome", known::kWriteConfirmed, write_outcome());
        differences.expect("host operations", known::kSingleWriteCalls, host_.call_names());
        const auto writes = host_.calls_named("modbus_write_register");
        if (writes.size() == 1)
            differences.expect("modbus_write_register (address, value)",
                               Numbers{known::kSingleWrite.address, known::kSingleWrite.value},
                               writes[0].args);
        report("single write", differences,
               "206: register " + std::to_string(known::kSingleWrite.address) + " := " +
                   std::to_string(known::kSingleWrite.value) + " requested, confirmed by the echo");
    }

    void multiple_write()
    {
        step("multiple write");
        host_.clear();
        // The words start at an odd address, as a host's buffer may: the
        // module must not read them through a misaligned pointer.
        unsigned char buffer[1 + 2 * (1 + known::kMultipleWriteValues.size())];
        unsigned char* const words = buffer + 1;
        std::memcpy(words, &known::kMultipleWriteAddress, 2);
        std::memcpy(words + 2, known::kMultipleWriteValues.data(),
                    sizeof known::kMultipleWriteValues);
        const int length = static_cast<int>(sizeof buffer - 1);
        int count = 0;
        Differences differences;
        differences.expect("210 result", 0,
                           device_->DeviceIoControl(kWriteRegisters, words, length, nullptr, 0, count));
        const auto quantity = static_cast<std::uint16_t>(known::kMultipleWriteValues.size());
        devhost::place_write_multiple_reply(*device_, quantity);
        differences.expect("process_payload", 0, device_->process_payload(device_->tab, 4));
        differences.expect("write outcome", known::kWriteConfirmed, write_outcome());
        differences.expect("host operations", known::kMultipleWriteCalls, host_.call_names());
        const auto writes = host_.calls_named("modbus_write_registers");
        if (writes.size() == 1) {
            differences.expect("modbus_write_registers (address, count)",
                               Numbers{known::kMultipleWriteAddress, quantity}, writes[0].args);
            differences.expect("values written",
                               Numbers(known::kMultipleWriteValues.begin(),
                                       known::kMultipleWriteValues.end()),
                               Numbers(writes[0].words.begin(), writes[0].words.end()));
        }
        report("multiple write", differences,
               "210 from an odd address: registers " + std::to_string(known::kMultipleWriteAddress) +
                   " to " + std::to_string(known::kMultipleWriteAddress + quantity - 1) +
                   " requested, confirmed by the echo");
    }

    std::string path_;
    ItemSink& out_;
    std::string current_step_ = "load";
    CaughtOutput output_;
    // Destroyed in reverse: the device first, then the module is unloaded,
    // then the host's bindings go.
    devhost::RecordingBackend host_;
    std::unique_ptr<devhost::LoadedModule> module_;
    std::unique_ptr<SPModbus> device_;
    const Json::Value* snapshot_address_ = nullptr;
};

}  // namespace

void exercise_module(const std::string& module_path, ItemSink& out)
{
    Exercise exercise(module_path, out);
    try {
        exercise.run();
    } catch (const std::exception& error) {
        exercise.report_exception(error.what());
    }
}

}  // namespace kpmcheck
