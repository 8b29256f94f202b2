#include "bench/meter_fixture.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <stdexcept>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <json/value.h>

#include "datadevice/uni_data_device.h"
#include "devhost/runtime/reply_layout.h"

namespace bench {

namespace {

constexpr int kBlockReadFunction = 3;
constexpr unsigned int kBlockReadBytes = 120;
constexpr int kSnapshotText = 801;
constexpr int kSnapshotAddress = 803;
constexpr int kWriteRegister = 206;
constexpr std::size_t kRecordSize = 131;
constexpr std::size_t kTextBufferSize = 4096;

// The module built beside the benchmarks, or another build of it named by
// KPM_BENCH_MODULE, to compare two builds with the same benchmarks.
const devhost::LoadedModule& module()
{
    static const devhost::LoadedModule loaded([] {
        const char* other = std::getenv("KPM_BENCH_MODULE");
        return std::string(other != nullptr && *other != '\0' ? other : KPM_MODULE_PATH);
    }());
    return loaded;
}

// A plausible block: voltages near 230 V in tenths, currents, powers in
// thousandths, power factors, frequency, energies; the unread tail counts up.
std::vector<std::uint16_t> sample_registers()
{
    std::vector<std::uint16_t> words(60);
    const std::uint16_t head[30] = {2301, 2298, 2305, 3987, 3990, 3992, 512,  498,  505,  11834,
                                    11502, 11640, 34976, 2104, 1987, 2050, 6141, 35512, 985,
                                    5000,  57920, 789, 4321, 1234, 982, 987, 979,
                                    11921, 11603, 11788};
    for (std::size_t i = 0; i < words.size(); ++i)
        words[i] = i < 30 ? head[i] : static_cast<std::uint16_t>(i);
    return words;
}

class NullBuffer final : public std::streambuf {
protected:
    int_type overflow(int_type c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char*, std::streamsize count) override { return count; }
};

NullBuffer null_buffer;

}  // namespace

MeterFixture::MeterFixture()
    : device_(module().create_device()),
      cached_record_(kRecordSize, 0),
      text_buffer_(kTextBufferSize, 0)
{
    device_->data_id = 7;
    Json::Value settings(Json::objectValue);
    settings["appSetting"]["b_mode"] = "1";
    if (!device_->InitSetting(settings))
        throw std::runtime_error("the device refused its settings");

    const std::vector<std::uint16_t> words = sample_registers();
    devhost::place_read_reply(*device_, words.data(), words.size());
    device_->RefreshStatus();  // the block read is now the transaction in progress

    // The cached record: a data id, the same registers, a time stamp.
    cached_record_[0] = 7;
    for (std::size_t i = 0; i < words.size(); ++i) {
        cached_record_[4 + 2 * i] = static_cast<unsigned char>(words[i] & 0xFF);
        cached_record_[5 + 2 * i] = static_cast<unsigned char>(words[i] >> 8);
    }

    DiscardStdout quiet;
    polling_round();
    if (snapshot_text() != 0)
        throw std::runtime_error("request 801 failed on a fresh device");
}

MeterFixture::~MeterFixture() = default;

int MeterFixture::polling_round()
{
    return device_->process_payload(kBlockReadFunction, kBlockReadBytes);
}

int MeterFixture::snapshot_text()
{
    return device_->DeviceIoControl(kSnapshotText, nullptr, 0, text_buffer_.data(),
                                    static_cast<int>(text_buffer_.size()), text_length_);
}

int MeterFixture::snapshot_text_rebuilt()
{
    device_->data_time += boost::posix_time::seconds(1);
    return snapshot_text();
}

int MeterFixture::snapshot_address()
{
    int count = 0;
    unsigned char address[sizeof(void*)];
    return device_->DeviceIoControl(kSnapshotAddress, nullptr, 0, address, sizeof address,
                                    count);
}

int MeterFixture::write_register()
{
    const unsigned short words[2] = {16, 500};
    int count = 0;
    return device_->DeviceIoControl(kWriteRegister, words, sizeof words, nullptr, 0, count);
}

int MeterFixture::host_write_register() { return device_->modbus_write_register(16, 500); }

int MeterFixture::load_from_cache()
{
    return device_->LoadFromCache(cached_record_.data(), static_cast<int>(cached_record_.size()));
}

std::string MeterFixture::last_snapshot_text() const
{
    return std::string(text_buffer_.begin(), text_buffer_.begin() + text_length_);
}

void diagnostic_line() { datadevice::write_round_line(0); }

DiscardStdout::DiscardStdout() : saved_(std::cout.rdbuf(&null_buffer)) {}

DiscardStdout::~DiscardStdout() { std::cout.rdbuf(saved_); }

StdoutToDevNull::StdoutToDevNull() : saved_fd_(-1)
{
    std::cout.flush();
    std::fflush(stdout);
    saved_fd_ = dup(STDOUT_FILENO);
    const int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (saved_fd_ < 0 || null_fd < 0)
        throw std::runtime_error("cannot redirect standard output to /dev/null");
    dup2(null_fd, STDOUT_FILENO);
    close(null_fd);
}

StdoutToDevNull::~StdoutToDevNull()
{
    std::cout.flush();
    std::fflush(stdout);
    dup2(saved_fd_, STDOUT_FILENO);
    close(saved_fd_);
}

}  // namespace bench
