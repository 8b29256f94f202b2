#include "devhost/lines/frame_silence.h"

#include <cstdint>

namespace devhost {

namespace {

constexpr int kFixedSilenceAboveBaud = 19200;
constexpr std::chrono::nanoseconds kFixedSilence = std::chrono::microseconds(1750);
constexpr std::int64_t kNanosecondsPerSecond = 1000000000;

std::int64_t divide_up(std::int64_t numerator, std::int64_t denominator)
{
    return (numerator + denominator - 1) / denominator;
}

int bits_per_character(char parity) { return parity == 'N' ? 10 : 11; }

}  // namespace

std::chrono::nanoseconds inter_frame_silence(int baud, char parity)
{
    if (baud > kFixedSilenceAboveBaud)
        return kFixedSilence;
    // 3.5 characters = 7 half characters.
    return std::chrono::nanoseconds(
        divide_up(7 * bits_per_character(parity) * kNanosecondsPerSecond, 2 * std::int64_t{baud}));
}

std::chrono::nanoseconds wire_time(int baud, char parity, std::size_t bytes)
{
    return std::chrono::nanoseconds(divide_up(static_cast<std::int64_t>(bytes) *
                                                  bits_per_character(parity) *
                                                  kNanosecondsPerSecond,
                                              baud));
}

}  // namespace devhost
