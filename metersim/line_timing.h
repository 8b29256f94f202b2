// The time bytes take on a real serial line, so that a simulated meter on a
// pseudo-terminal (where bytes arrive at once) answers with a real line's timing.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace metersim {

// Start bit, 8 data bits, a parity bit unless parity is 'N', one stop bit.
int bits_per_byte(char parity);
std::chrono::nanoseconds byte_time(int baud, char parity);

// Writes all bytes; with a non-zero per_byte each byte leaves when it would
// have finished on the line, counted from start. False on a write error.
bool write_frame(int fd, const std::uint8_t* data, std::size_t length,
                 std::chrono::nanoseconds per_byte, std::chrono::steady_clock::time_point start);

}  // namespace metersim
