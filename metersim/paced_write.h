// Writing a frame with a real serial line's timing, so that a simulated
// meter on a pseudo-terminal (where bytes arrive at once) answers as it
// would on the line.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace metersim {

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
