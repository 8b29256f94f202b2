#include "soak/snapshot_readers.h"

#include <chrono>
#include <cstdint>
#include <cstring>
#include <stdexcept>

#include "host/smd_spdevice.h"
#include "soak/snapshot_check.h"

namespace soak {

namespace {

constexpr int kSnapshotText = 801;
constexpr int kSnapshotAddress = 803;
// Of every 16 requests to a meter: one 803, two value queries, the rest 801.
constexpr unsigned kCycle = 16;
constexpr std::size_t kTextBuffer = 8192;
// Readers pause between requests so that the soak measures the host, not
// spinning threads on a two-core machine.
constexpr std::chrono::microseconds kPause{500};

// What the module's value query raises: no data yet, data too old, and no
// such quantity (it serves no quantity by name).
constexpr char kNotReady[] = "数据未就绪";
constexpr char kStale[] = "数据已超时";
constexpr char kUnknownName[] = "不支持变量";

}  // namespace

std::string value_problem(const MeterUnderTest& meter, bool had_round, const char* thrown)
{
    if (thrown == nullptr)
        return meter.dead || !had_round ? "Get_Value gave a value before any round" : "";
    const bool not_ready = std::strcmp(thrown, kNotReady) == 0;
    if (!not_ready && std::strcmp(thrown, kStale) != 0 && std::strcmp(thrown, kUnknownName) != 0)
        return std::string("Get_Value raised an unknown error: ") + thrown;
    if (meter.dead)
        return not_ready ? "" : "Get_Value of the dead meter found data";
    if (had_round && not_ready)
        return "Get_Value found no data after a completed round";
    return "";
}

SnapshotReaders::SnapshotReaders(const std::vector<MeterUnderTest*>& meters, int threads)
    : meters_(meters), readers_(threads)
{
    for (Reader& reader : readers_)
        reader.thread = std::thread([this, &reader] { run(reader); });
}

SnapshotReaders::~SnapshotReaders() { stop(); }

void SnapshotReaders::stop()
{
    stopping_ = true;
    for (Reader& reader : readers_)
        if (reader.thread.joinable())
            reader.thread.join();
}

ReaderCounts SnapshotReaders::counts() const
{
    ReaderCounts total;
    for (const Reader& reader : readers_) {
        total.texts += reader.counts.texts;
        total.addresses += reader.counts.addresses;
        total.values += reader.counts.values;
        total.inconsistent += reader.counts.inconsistent;
    }
    return total;
}

std::vector<std::string> SnapshotReaders::problems() const
{
    std::vector<std::string> all;
    for (const Reader& reader : readers_)
        for (const std::string& problem : reader.problems)
            note_problem(all, problem);
    return all;
}

std::string SnapshotReaders::read_text(MeterUnderTest& meter, std::vector<char>& buffer,
                                       ReaderCounts& counts)
{
    const bool may_be_null = meter.published.load() == 0;
    int count = 0;
    const int result = meter.device->DeviceIoControl(kSnapshotText, nullptr, 0, buffer.data(),
                                                     static_cast<int>(buffer.size()), count);
    ++counts.texts;
    if (result != 0)
        return "801 refused, needs " + std::to_string(count) + " bytes";
    const std::string text(buffer.data(), static_cast<std::size_t>(count));
    if (meter.dead)
        return text == "null\n" ? "" : "801 of the dead meter is not null: " + text.substr(0, 80);
    return snapshot_text_problem(text, may_be_null, meter.served);
}

std::string SnapshotReaders::read_value(MeterUnderTest& meter, ReaderCounts& counts)
{
    const bool had_round = meter.published.load() > 0;
    ++counts.values;
    try {
        meter.device->Get_Value(0, "A相电压");
        return value_problem(meter, had_round, nullptr);
    } catch (const std::out_of_range& error) {
        return value_problem(meter, had_round, error.what());
    } catch (const std::exception& error) {
        return std::string("Get_Value raised ") + error.what();
    }
}

void SnapshotReaders::run(Reader& reader)
{
    std::vector<char> text(kTextBuffer);
    std::vector<const void*> first_address(meters_.size(), nullptr);
    for (unsigned long request = 0; !stopping_; ++request) {
        const std::size_t which = request % meters_.size();
        MeterUnderTest& meter = *meters_[which];
        const unsigned step = static_cast<unsigned>(request / meters_.size() % kCycle);
        std::string problem;
        if (step == kCycle - 1) {
            const void* address = nullptr;
            int count = 0;
            const int result = meter.device->DeviceIoControl(kSnapshotAddress, nullptr, 0,
                                                             &address, sizeof address, count);
            ++reader.counts.addresses;
            if (result != 0 || count != static_cast<int>(sizeof address))
                problem = "803 refused";
            else if (first_address[which] != nullptr && address != first_address[which])
                problem = "803 address moved";
            first_address[which] = address;
        } else if (step % 8 == 3) {
            problem = read_value(meter, reader.counts);
        } else {
            problem = read_text(meter, text, reader.counts);
        }
        if (!problem.empty()) {
            ++reader.counts.inconsistent;
            note_problem(reader.problems, meter.name() + ": " + problem);
        }
        std::this_thread::sleep_for(kPause);
    }
}

}  // namespace soak
