// The simulated meter of the soak: metersim's simulator on a pseudo-terminal
// reached through a fixed link, closed and reopened on a new terminal with a
// fresh random set of faults whenever the soak asks. The registers carry over
// from one terminal to the next, as a real meter keeps them over a cable
// swap. Every request the simulator logs is read back here: the blocks it
// served go to ServedStates, the faults it showed are counted, and the last
// write it took is kept for the host's checks.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <random>
#include <string>

#include "faults.h"
#include "register_bank.h"
#include "served_states.h"

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

class SoakMeter {
public:
    // Opens the first terminal, without faults. `link` is the path the host
    // opens; `fault_delay` is how late a delayed reply comes.
    SoakMeter(std::string link, const metersim::RegisterValues& initial, ServedStates& served,
              std::uint32_t seed, std::chrono::milliseconds fault_delay);
    ~SoakMeter();
    SoakMeter(const SoakMeter&) = delete;
    SoakMeter& operator=(const SoakMeter&) = delete;

    // Closes the terminal (whatever the host is doing on it) and opens a new
    // one under the same link, with faults drawn at random. Any thread.
    void reopen_with_random_faults();

    metersim::RegisterValues registers() const;
    WriteTaken last_write() const;
    FaultCounts faults() const;
    // Read replies sent whole and on time or late, but not lost or corrupted.
    unsigned long intact_reads() const { return intact_reads_.load(); }
    // Log lines the soak did not recognise; a change of the log format shows here.
    unsigned long unrecognised() const { return unrecognised_.load(); }

private:
    void open_simulator(const metersim::RegisterValues& registers,
                        std::vector<metersim::FaultPlan> faults);
    void on_request(const std::string& line);  // on the simulator's thread

    const std::string link_;
    ServedStates& served_;
    const std::chrono::milliseconds fault_delay_;
    std::mt19937 random_;

    mutable std::mutex simulator_mutex_;  // guards simulator_ and its replacement
    std::unique_ptr<metersim::Simulator> simulator_;
    unsigned long epoch_ = 0;  // terminals opened after the first
    std::atomic<metersim::Simulator*> serving_{nullptr};

    mutable std::mutex log_mutex_;  // guards faults_ and last_write_
    FaultCounts faults_;
    WriteTaken last_write_;
    std::atomic<unsigned long> intact_reads_{0};
    std::atomic<unsigned long> unrecognised_{0};
};

}  // namespace soak
