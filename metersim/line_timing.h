// The time bytes take on a real serial line, so that a simulated meter on a
// pseudo-terminal (where bytes arrive at once) answers with a real line's
// timing, and the silences Modbus RTU frames are delimited by. Free of the
// simulator's internals, so that a master can share these definitions.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace metersim {

// Start bit, 8 data bits, a parity bit unless parity is 'N', one stop bit.
int bits_per_byte(char parity);
std::chrono::nanoseconds byte_time(int baud, char parity);

// The silence that separates two frames: 3.5 character times, or a fixed
// 1750 us above 19200 baud, where the character time would be too short for
// a slave's timers to measure.
std::chrono::nanoseconds inter_frame_silence(int baud, char parity);
// A gap longer than this inside a frame ends it: 1.5 character times, or a
// fixed 750 us above 19200 baud.
std::chrono::nanoseconds inter_char_timeout(int baud, char parity);

// When a frame was on the line: from the start of its first byte to the end
// of its last.
struct LineInterval {
    std::chrono::steady_clock::time_point start;
    std::chrono::steady_clock::time_point end;
};

// Writes all bytes; with a non-zero per_byte each byte leaves when it would
// have finished on the line, counted from start. When sent is given it gets
// the interval the frame took, ending when the last byte was handed to the
// line. False on a write error.
bool write_frame(int fd, const std::uint8_t* data, std::size_t length,
                 std::chrono::nanoseconds per_byte, std::chrono::steady_clock::time_point start,
                 LineInterval* sent = nullptr);

}  // namespace metersim
