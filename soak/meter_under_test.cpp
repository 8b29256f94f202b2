#include "soak/meter_under_test.h"

#include <utility>

namespace soak {

HostCounts& HostCounts::operator+=(const HostCounts& other)
{
    polls += other.polls;
    rounds += other.rounds;
    bad_records += other.bad_records;
    writes += other.writes;
    confirmed += other.confirmed;
    refused += other.refused;
    unanswered += other.unanswered;
    bad_writes += other.bad_writes;
    return *this;
}

MeterUnderTest::MeterUnderTest(std::string line_name, int slave_address, std::size_t range,
                               bool is_dead, std::size_t served_window)
    : line(std::move(line_name)),
      slave(slave_address),
      dead(is_dead),
      served(served_window),
      range_base_(static_cast<std::uint16_t>(kRangeStart + range * kRangeSize))
{
}

std::string MeterUnderTest::name() const
{
    return "meter " + std::to_string(slave) + " on line " + line;
}

metersim::RegisterValues MeterUnderTest::first_block() const
{
    metersim::RegisterValues block{};
    for (std::size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<std::uint16_t>(range_base_ + i);
    return block;
}

std::uint16_t MeterUnderTest::next_value()
{
    const auto value = static_cast<std::uint16_t>(range_base_ + next_offset_);
    if (++next_offset_ == kRangeSize)
        next_offset_ = metersim::kRegisterCount;
    return value;
}

void note_problem(std::vector<std::string>& problems, const std::string& problem)
{
    if (problems.size() < kProblemsKept)
        problems.push_back(problem);
}

}  // namespace soak
