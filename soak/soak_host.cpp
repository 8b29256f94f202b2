#include "soak/soak_host.h"

#include <cstring>

#include "host/smd_spdevice.h"
#include "devhost/lines/line_transport.h"

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

std::string record_problem(const MeterUnderTest& meter, int kind, const unsigned char* data,
                           unsigned int length)
{
    if (meter.dead)
        return "the dead meter published a record";
    if (kind != kRecordKind || length != kRecordSize)
        return "record published as kind " + std::to_string(kind) + ", " +
               std::to_string(length) + " bytes";
    std::uint32_t data_id;
    std::memcpy(&data_id, data, sizeof data_id);
    if (data_id != meter.data_id)
        return "record with data id " + std::to_string(data_id) + " instead of " +
               std::to_string(meter.data_id);
    std::uint16_t words[metersim::kRegisterCount];
    std::memcpy(words, data + kRegistersOffset, sizeof words);
    if (!meter.served.contains(words))
        return "record whose registers the meter never served (first word " +
               std::to_string(words[0]) + ")";
    return "";
}

RecordCheck::RecordCheck(MeterUnderTest& meter, devhost::RecordSink& next)
    : meter_(meter), next_(next)
{
}

bool RecordCheck::publish(SMDVDevice& device, int kind, const unsigned char* data,
                          unsigned int length, bool urgent)
{
    ++meter_.counts.rounds;
    const std::string problem = record_problem(meter_, kind, data, length);
    if (!problem.empty()) {
        ++meter_.counts.bad_records;
        note_problem(meter_.problems, meter_.name() + ": " + problem);
    }
    const bool taken = next_.publish(device, kind, data, length, urgent);
    ++meter_.published;
    return taken;
}

bool RecordCheck::save_history(SMDVDevice& device, const unsigned char* data,
                               unsigned int length)
{
    return next_.save_history(device, data, length);
}

MeterWriter::MeterWriter(devhost::LineTransport& transport, SimulatedLine& line,
                         std::uint32_t seed)
    : transport_(transport), line_(line), random_(seed)
{
}

std::int32_t MeterWriter::query_outcome(MeterUnderTest& meter)
{
    std::int32_t outcome = 0;
    int count = 0;
    meter.device->DeviceIoControl(kOutcomeQuery, nullptr, 0, &outcome, sizeof outcome, count);
    return count == sizeof outcome ? outcome : -2;
}

// One register, a run of registers, or the whole block, with values not
// written to this meter before (for a while: values cycle through the
// meter's range), so that a record made from two different blocks cannot
// pass for either.
void MeterWriter::write(MeterUnderTest& meter)
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
        request.push_back(meter.next_value());
    const std::vector<std::uint16_t> values(request.begin() + 1, request.end());

    const int code = count == 1 ? kWriteRegister : kWriteRegisters;
    int out_count = 0;
    meter.device->DeviceIoControl(code, request.data(), static_cast<int>(request.size() * 2),
                                  nullptr, 0, out_count);
    transport_.perform_pending();
    const std::string what = count == 1 ? "write " + std::to_string(address) + " = " +
                                              std::to_string(values[0])
                                        : "write " + std::to_string(count) +
                                              " registers from " + std::to_string(address);
    check_write(meter, what, address, values);
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

void MeterWriter::check_write(MeterUnderTest& meter, const std::string& what,
                              std::uint16_t address, const std::vector<std::uint16_t>& values)
{
    HostCounts& counts = meter.counts;
    ++counts.writes;
    const std::int32_t outcome = query_outcome(meter);
    const WriteTaken taken = line_.slave_log(meter.slave).last_write;
    const metersim::RegisterValues registers = line_.registers(meter.slave);
    bool applied = true;
    for (std::size_t i = 0; i < values.size(); ++i)
        applied = applied && registers[address - metersim::kFirstRegister + i] == values[i];

    counts.confirmed += outcome == kConfirmed;
    counts.refused += outcome == kRefused;
    counts.unanswered += outcome == kPending;
    const std::string problem = write_outcome_problem(outcome, applied, taken, what);
    if (!problem.empty()) {
        ++counts.bad_writes;
        note_problem(meter.problems, meter.name() + ": " + what + ": " + problem);
    }
}

}  // namespace soak
