// How long Modbus RTU takes on a serial line, for the master that keeps the
// silences and the simulated meter that checks them and paces its replies
// like a real line. A character is a start bit, 8 data bits, a parity bit
// unless the parity is 'N', and a stop bit. Every time here is rounded up to
// the next nanosecond, so that waiting this long is never short.
#pragma once

#include <chrono>
#include <cstddef>

namespace modbus {

int character_bits(char parity);

// How long `bytes` characters take on the line.
std::chrono::nanoseconds wire_time(int baud, char parity, std::size_t bytes);

// The silence that separates two frames: 3.5 character times, or a fixed
// 1.75 ms above 19200 baud, where the character time would be too short for
// a slave's timers to measure.
std::chrono::nanoseconds inter_frame_silence(int baud, char parity);

// A gap longer than this inside a frame ends it: 1.5 character times, or a
// fixed 750 us above 19200 baud.
std::chrono::nanoseconds inter_char_timeout(int baud, char parity);

}  // namespace modbus
