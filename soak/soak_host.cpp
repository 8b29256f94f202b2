#include "soak_host.h"

#include <cstring>

#include "host/smd_spdevice.h"
#include "rtu_transport.h"

namespace soak {

namespace {

constexpr int kRecordKind = 5156;
constexpr unsigned kRecordSize = 131;
constexpr std::size_t kRegistersOffset = 4;
constexpr int kWriteRegister = 206;
constexpr int kWriteRegisters = 210;
constexpr int kOutcomeQuery = 0;
constexpr std::int32_t kConfirmed = 1;
constexpr std::int32_t kRefused = 3;
constexpr std::int32_t kPending = -1;

}  // namespace

void note_problem(std::vector<std::string>& problems, const std::string& problem)
{
    if (problems.size() < kProblemsKept)
        problems.push_back(problem);
}

RecordCheck::RecordCheck(const ServedStates& served, std::uint32_t data_id, HostCounts& counts,
                         std::vector<std::string>& problems)
    : served_(served), data_id_(data_id), counts_(counts), problems_(problems)
{
}

bool RecordCheck::publish(SMDVDevice&, int kind, const unsigned char* data, unsigned int length,
                          bool)
{
    ++counts_.rounds;
    ++counts_.records_checked;
    if (kind != kRecordKind || length != kRecordSize) {
        ++counts_.bad_records;
        note_problem(problems_, "record published as kind " + std::to_string(kind) + ", " +
                                    std::to_string(length) + " bytes");
        return true;
    }
    std::uint32_t data_id;
    std::memcpy(&data_id, data, sizeof data_id);
    std::uint16_t words[metersim::kRegisterCount];
    std::memcpy(words, data + kRegistersOffset, sizeof words);
    if (data_id != data_id_ || !served_.contains(words)) {
        ++counts_.bad_records;
        note_problem(problems_, data_id != data_id_
                                    ? "record with data id " + std::to_string(data_id)
                                    : "record whose registers the meter never served (first "
                                      "word " + std::to_string(words[0]) + ")");
    }
    return true;
}

bool RecordCheck::save_history(SMDVDevice&, const unsigned char*, unsigned int) { return true; }

SoakHost::SoakHost(SMDSPDevice& device, devhost::RtuTransport& transport, SoakMeter& meter,
                   std::uint32_t seed)
    : device_(device), transport_(transport), meter_(meter), random_(seed)
{
}

void SoakHost::poll()
{
    ++counts_.polls;
    device_.RefreshStatus();
    transport_.perform_pending();
}

std::int32_t SoakHost::query_outcome()
{
    std::int32_t outcome = 0;
    int count = 0;
    device_.DeviceIoControl(kOutcomeQuery, nullptr, 0, &outcome, sizeof outcome, count);
    return count == sizeof outcome ? outcome : -2;
}

// One register with a value not written before (for a while: values wrap),
// a run of registers, or the whole block, so that a record made from two
// different blocks cannot pass for either.
void SoakHost::write()
{
    const unsigned kind = random_() % 3;
    std::uint16_t address = metersim::kFirstRegister;
    std::size_t count = metersim::kRegisterCount;
    if (kind == 0) {
        address = static_cast<std::uint16_t>(metersim::kFirstRegister +
                                              random_() % metersim::kRegisterCount);
        count = 1;
    } else if (kind == 1) {
        count = 1 + random_() % metersim::kRegisterCount;
        address = static_cast<std::uint16_t>(
            metersim::kFirstRegister + random_() % (metersim::kRegisterCount - count + 1));
    }
    std::vector<std::uint16_t> request{address};
    for (std::size_t i = 0; i < count; ++i)
        request.push_back(next_value_++);
    const std::vector<std::uint16_t> values(request.begin() + 1, request.end());

    const int code = count == 1 ? kWriteRegister : kWriteRegisters;
    int out_count = 0;
    device_.DeviceIoControl(code, request.data(), static_cast<int>(request.size() * 2), nullptr,
                            0, out_count);
    transport_.perform_pending();
    const std::string what = count == 1 ? "write " + std::to_string(address) + " = " +
                                              std::to_string(values[0])
                                        : "write " + std::to_string(count) +
                                              " registers from " + std::to_string(address);
    check_write(what, address, values);
}

std::string write_outcome_problem(std::int32_t outcome, bool applied, const WriteTaken& taken,
                                  const std::string& what)
{
    switch (outcome) {
    case kConfirmed:
        if (!applied)
            return "confirmed but not in the meter's registers";
        if (taken.what != what || taken.faulted)
            return "confirmed but the meter's last write was '" + taken.what +
                   (taken.faulted ? "' with a fault" : "'");
        return "";
    case kRefused:
        return taken.what == what && !taken.wrong_echo ? "refused though the meter echoed it" : "";
    case kPending:
        return "";
    default:
        return "outcome query answered " + std::to_string(outcome);
    }
}

void SoakHost::check_write(const std::string& what, std::uint16_t address,
                           const std::vector<std::uint16_t>& values)
{
    ++counts_.writes;
    const std::int32_t outcome = query_outcome();
    const WriteTaken taken = meter_.last_write();
    const metersim::RegisterValues registers = meter_.registers();
    bool applied = true;
    for (std::size_t i = 0; i < values.size(); ++i)
        applied = applied && registers[address - metersim::kFirstRegister + i] == values[i];

    counts_.confirmed += outcome == kConfirmed;
    counts_.refused += outcome == kRefused;
    counts_.unanswered += outcome == kPending;
    const std::string problem = write_outcome_problem(outcome, applied, taken, what);
    if (!problem.empty()) {
        ++counts_.bad_writes;
        note_problem(problems_, what + ": " + problem);
    }
}

}  // namespace soak
