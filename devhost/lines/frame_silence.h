// The silence Modbus RTU requires between frames on a serial line: 3.5
// character times, a character being a start bit, 8 data bits, a parity bit
// unless there is none, and a stop bit; above 19200 baud a fixed 1.75 ms.
#pragma once

#include <chrono>
#include <cstddef>

namespace devhost {

// Rounded up to the next nanosecond, so that waiting this long is never short.
std::chrono::nanoseconds inter_frame_silence(int baud, char parity);

// How long `bytes` characters take on the line.
std::chrono::nanoseconds wire_time(int baud, char parity, std::size_t bytes);

}  // namespace devhost
