#include "soak/soak_host.h"

#include <cstring>

#include "devhost/meterhost/bench_session.h"

namespace soak {

namespace {

constexpr int kRecordKind = 5156;
constexpr unsigned kRecordSize = 131;
constexpr std::size_t kRegistersOffset = 4;
using meterhost::WriteOutcome;

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

void check_record(MeterUnderTest& meter, int kind, const unsigned char* data,
                  unsigned int length)
{
    ++meter.counts.rounds;
    const std::string problem = record_problem(meter, kind, data, length);
    if (!problem.empty()) {
        ++meter.counts.bad_records;
        note_problem(meter.problems, meter.name() + ": " + problem);
    }
    ++meter.published;
}

MeterWriter::MeterWriter(meterhost::BenchSession& session, SimulatedLine& line,
                         std::uint32_t seed)
    : session_(session), line_(line), random_(seed)
{
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
    std::vector<std::uint16_t> values;
    for (std::size_t i = 0; i < count; ++i)
        values.push_back(meter.next_value());
    const WriteOutcome outcome = session_.write_registers(meter.index, address, values);
    const std::string what = count == 1 ? "write " + std::to_string(address) + " = " +
                                              std::to_string(values[0])
                                        : "write " + std::to_string(count) +
                                              " registers from " + std::to_string(address);
    check_write(meter, outcome.answer, what, address, values);
}

std::string write_outcome_problem(std::int32_t outcome, bool applied, const WriteTaken& taken,
                                  const std::string& what)
{
    switch (outcome) {
    case WriteOutcome::kConfirmed:
        if (!applied)
            return "confirmed but not in the meter's registers";
        if (taken.what != what || taken.faulted)
            return "confirmed but the meter's last write was '" + taken.what +
                   (taken.faulted ? "' with a fault" : "'");
        return "";
    case WriteOutcome::kRefused:
        return taken.what == what && !taken.wrong_echo ? "refused though the meter echoed it" : "";
    case WriteOutcome::kPending:
        return "";
    default:
        return "outcome query answered " + std::to_string(outcome);
    }
}

void MeterWriter::check_write(MeterUnderTest& meter, std::int32_t outcome, const std::string& what,
                              std::uint16_t address, const std::vector<std::uint16_t>& values)
{
    HostCounts& counts = meter.counts;
    ++counts.writes;
    const WriteTaken taken = line_.slave_log(meter.slave).last_write;
    const metersim::RegisterValues registers = line_.registers(meter.slave);
    bool applied = true;
    for (std::size_t i = 0; i < values.size(); ++i)
        applied = applied && registers[address - metersim::kFirstRegister + i] == values[i];

    counts.confirmed += outcome == WriteOutcome::kConfirmed;
    counts.refused += outcome == WriteOutcome::kRefused;
    counts.unanswered += outcome == WriteOutcome::kPending;
    const std::string problem = write_outcome_problem(outcome, applied, taken, what);
    if (!problem.empty()) {
        ++counts.bad_writes;
        note_problem(meter.problems, meter.name() + ": " + what + ": " + problem);
    }
}

}  // namespace soak
