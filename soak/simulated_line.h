// One simulated serial line of the soak: metersim's simulator serving
// several meters on a pseudo-terminal reached through a fixed link, closed
// and reopened on a new terminal with a fresh random set of faults whenever
// the soak asks. Each meter's registers carry over from one terminal to the
// next, as real meters keep them over a cable swap. Every request the
// simulator logs is read back here: the blocks each meter served go to that
// meter's ServedStates, the faults shown are counted, and each meter's last
// write is kept for the host's checks.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "metersim/faults.h"
#include "soak/meter_under_test.h"
#include "metersim/register_bank.h"

namespace metersim {
class Simulator;
}

namespace soak {

struct FaultCounts {
    unsigned long no_reply = 0;
    unsigned long delayed = 0;
    unsigned long exception = 0;
    unsigned long wrong_echo = 0;
    unsigned long bad_crc = 0;
    unsigned long reopened = 0;  // the pseudo-terminal closed and a new one opened
};

// A write request as the simulator took it: its log text without the fault
// marks ("write 16 = 500", "write 60 registers from 10"), and its faults.
struct WriteTaken {
    std::string what;
    bool faulted = false;
    bool wrong_echo = false;
    unsigned long sequence = 0;  // 0: no write taken yet
};

// What the simulator's log told about one meter.
struct SlaveLog {
    WriteTaken last_write;
    unsigned long intact_reads = 0;  // read replies sent whole (late counts as whole)
    unsigned long ignored = 0;       // requests left unanswered: the meter is dead
};

class SimulatedLine {
public:
    // Opens the first terminal, without faults, serving the meters with
    // their first blocks; the dead ones never answer. `link` is the path the
    // host opens; `fault_delay` is how late a delayed reply comes.
    SimulatedLine(std::string link, const std::vector<MeterUnderTest*>& meters,
                  std::uint32_t seed, std::chrono::milliseconds fault_delay);
    ~SimulatedLine();
    SimulatedLine(const SimulatedLine&) = delete;
    SimulatedLine& operator=(const SimulatedLine&) = delete;

    const std::string& link() const { return link_; }

    // Closes the terminal (whatever the host is doing on it) and opens a new
    // one under the same link, with faults drawn at random. Any thread.
    void reopen_with_random_faults();

    metersim::RegisterValues registers(int slave) const;
    SlaveLog slave_log(int slave) const;
    FaultCounts faults() const;
    // Log lines the soak did not recognise; a change of the log format shows here.
    unsigned long unrecognised() const { return unrecognised_.load(); }

private:
    void open_simulator(std::map<int, metersim::RegisterValues> tables,
                        std::vector<metersim::FaultPlan> faults);
    void on_request(const std::string& line);  // on the simulator's thread

    const std::string link_;
    const std::chrono::milliseconds fault_delay_;
    std::map<int, MeterUnderTest*> meters_;  // by slave
    std::vector<int> dead_;
    std::mt19937 random_;

    mutable std::mutex simulator_mutex_;  // guards simulator_ and its replacement
    std::unique_ptr<metersim::Simulator> simulator_;
    unsigned long epoch_ = 0;  // terminals opened after the first
    std::atomic<metersim::Simulator*> serving_{nullptr};

    mutable std::mutex log_mutex_;  // guards faults_ and logs_
    FaultCounts faults_;
    std::map<int, SlaveLog> logs_;
    std::atomic<unsigned long> unrecognised_{0};
};

}  // namespace soak
