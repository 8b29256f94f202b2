// One meter of the soak: where it is, what it may publish, and what the
// host thread of its line counted about it. Each meter has registers in a
// value range of its own (its first block and every value written to it), so
// a record or snapshot carrying another meter's registers cannot pass.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "metersim/register_bank.h"
#include "soak/served_states.h"

class SMDSPDevice;

namespace soak {

struct HostCounts {
    unsigned long polls = 0;
    unsigned long rounds = 0;  // records published
    unsigned long bad_records = 0;
    unsigned long writes = 0;
    unsigned long confirmed = 0;
    unsigned long refused = 0;
    unsigned long unanswered = 0;
    unsigned long bad_writes = 0;  // reported outcome contradicts the meter

    HostCounts& operator+=(const HostCounts& other);
};

// Values of one meter's range: 12000 words each, from 2000 on, so that five
// meters stay below 65536.
constexpr std::uint16_t kRangeStart = 2000;
constexpr std::uint16_t kRangeSize = 12000;

class MeterUnderTest {
public:
    MeterUnderTest(std::string line, int slave, std::size_t range, bool dead,
                   std::size_t served_window);

    std::string name() const;  // "meter 4 on line B"
    // The block the meter starts with, from the start of its range.
    metersim::RegisterValues first_block() const;
    // The next value to write, never one of the first block's, cycling
    // through the rest of the range.
    std::uint16_t next_value();

    const std::string line;
    const int slave;
    const bool dead;
    // Set once the host has loaded the meter's device.
    std::size_t index = 0;  // the session's (meterhost::MeterIdentity::index)
    std::uint32_t data_id = 0;
    std::string port;
    SMDSPDevice* device = nullptr;
    ServedStates served;                      // filled by the simulator's thread
    std::atomic<unsigned long> published{0};  // records, for the snapshot readers
    // Touched only by the thread of the meter's line.
    HostCounts counts;
    std::vector<std::string> problems;

private:
    const std::uint16_t range_base_;
    std::uint16_t next_offset_ = metersim::kRegisterCount;
};

// Keeps at most this many problem descriptions; the counts keep the rest.
constexpr std::size_t kProblemsKept = 20;
void note_problem(std::vector<std::string>& problems, const std::string& problem);

}  // namespace soak
