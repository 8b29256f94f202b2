// What the soak drives: two simulated lines of several meters, one meter
// dead, and the timing of its host, its faults and its terminal reopenings.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace soak {

// A line driven: its name, its meters and the dead ones.
struct LinePlan {
    const char* name;
    std::vector<int> slaves;  // ascending
    std::vector<int> dead;
};
inline const LinePlan kLinePlans[] = {
    {"A", {1, 2, 3}, {}},
    {"B", {4, 5}, {5}},
};

constexpr std::uint32_t kFirstDataId = 0x50AC;
constexpr int kTimeoutMs = 100;
constexpr std::chrono::milliseconds kFaultDelay{160};  // past the host's timeout
constexpr std::size_t kServedWindow = 1024;
constexpr unsigned long kWriteEvery = 4;  // a meter's polls per write to it
constexpr double kPollInterval = 0.002;   // seconds between a line's rounds
constexpr double kRetryMin = 1.0;         // offline meters: first and longest retry wait
constexpr double kRetryMax = 8.0;
// A line's terminal is closed and reopened after a pause drawn from this range.
constexpr double kMinReopenSeconds = 1.0;
constexpr double kMaxReopenSeconds = 3.0;

}  // namespace soak
