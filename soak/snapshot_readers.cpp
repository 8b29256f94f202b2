#include "snapshot_readers.h"

#include <chrono>
#include <cstdint>
#include <cstring>

#include "host/smd_spdevice.h"
#include "snapshot_check.h"
#include "soak_host.h"

namespace soak {

namespace {

constexpr int kSnapshotText = 801;
constexpr int kSnapshotAddress = 803;
constexpr int kAddressEvery = 16;  // one 803 request per this many 801 requests
constexpr std::size_t kTextBuffer = 8192;
// Readers pause between requests so that the soak measures the host, not
// two spinning threads on a two-core machine.
constexpr std::chrono::microseconds kPause{500};

}  // namespace

SnapshotReaders::SnapshotReaders(SMDSPDevice& device, const ServedStates& served,
                                 const std::atomic<unsigned long>& rounds, int threads)
    : device_(device), served_(served), rounds_(rounds), readers_(threads)
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

void SnapshotReaders::run(Reader& reader)
{
    std::vector<char> text(kTextBuffer);
    const void* first_address = nullptr;
    for (unsigned long request = 0; !stopping_; ++request) {
        std::string problem;
        if (request % kAddressEvery == kAddressEvery - 1) {
            const void* address = nullptr;
            int count = 0;
            const int result = device_.DeviceIoControl(kSnapshotAddress, nullptr, 0, &address,
                                                       sizeof address, count);
            ++reader.counts.addresses;
            if (result != 0 || count != static_cast<int>(sizeof address))
                problem = "803 refused";
            else if (first_address != nullptr && address != first_address)
                problem = "803 address moved";
            first_address = address;
        } else {
            const bool may_be_null = rounds_.load() == 0;
            int count = 0;
            const int result = device_.DeviceIoControl(kSnapshotText, nullptr, 0, text.data(),
                                                       static_cast<int>(text.size()), count);
            ++reader.counts.texts;
            problem = result != 0
                          ? "801 refused, needs " + std::to_string(count) + " bytes"
                          : snapshot_text_problem(std::string(text.data(), count), may_be_null,
                                                  served_);
        }
        if (!problem.empty()) {
            ++reader.counts.inconsistent;
            note_problem(reader.problems, problem);
        }
        std::this_thread::sleep_for(kPause);
    }
}

}  // namespace soak
