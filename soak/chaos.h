// Closes and reopens a simulated line's terminal, with new faults, after
// pauses drawn at random between kMinReopenSeconds and kMaxReopenSeconds,
// until it is destroyed.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <random>
#include <thread>

#include "soak/simulated_line.h"

namespace soak {

class Chaos {
public:
    Chaos(SimulatedLine& line, std::uint32_t seed);
    ~Chaos();  // stops and joins
    Chaos(const Chaos&) = delete;
    Chaos& operator=(const Chaos&) = delete;

private:
    void run();

    SimulatedLine& line_;
    std::mt19937 random_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace soak
