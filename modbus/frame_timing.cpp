#include "modbus/frame_timing.h"

#include <cstdint>

namespace modbus {

namespace {

constexpr int kFixedTimingAboveBaud = 19200;
constexpr std::chrono::nanoseconds kFixedFrameSilence = std::chrono::microseconds(1750);
constexpr std::chrono::nanoseconds kFixedCharTimeout = std::chrono::microseconds(750);
constexpr std::int64_t kNanosecondsPerSecond = 1000000000;

// `halves` half characters at the line's speed, rounded up.
std::chrono::nanoseconds half_characters(int baud, char parity, std::int64_t halves)
{
    if (baud <= 0)
        return std::chrono::nanoseconds(0);
    const std::int64_t numerator = halves * character_bits(parity) * kNanosecondsPerSecond;
    const std::int64_t denominator = 2 * std::int64_t{baud};
    return std::chrono::nanoseconds((numerator + denominator - 1) / denominator);
}

}  // namespace

int character_bits(char parity) { return parity == 'N' ? 10 : 11; }

std::chrono::nanoseconds wire_time(int baud, char parity, std::size_t bytes)
{
    return half_characters(baud, parity, 2 * static_cast<std::int64_t>(bytes));
}

std::chrono::nanoseconds inter_frame_silence(int baud, char parity)
{
    if (baud > kFixedTimingAboveBaud)
        return kFixedFrameSilence;
    return half_characters(baud, parity, 7);
}

std::chrono::nanoseconds inter_char_timeout(int baud, char parity)
{
    if (baud > kFixedTimingAboveBaud)
        return kFixedCharTimeout;
    return half_characters(baud, parity, 3);
}

}  // namespace modbus
