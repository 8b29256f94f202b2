// Requests as they arrive on the line, with the time each byte came: cut
// into frames at the length their header declares, or, for a request whose
// length the header does not give (or a broken one), at a silence after it.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

namespace metersim {

struct ReceivedFrame {
    std::vector<std::uint8_t> bytes;
    std::chrono::steady_clock::time_point first_byte;  // when it was read off the line
    std::chrono::steady_clock::time_point last_byte;
};

class FrameReceiver {
public:
    // end_silence: how long no byte may follow before what is buffered
    // counts as a frame of its own.
    FrameReceiver(int fd, std::chrono::nanoseconds end_silence);

    // One read of what the line holds; call it when the line is readable,
    // as the read waits otherwise. False when the line is closed or failing
    // (errno tells).
    bool read_available();

    // The oldest complete frame buffered, if any. A frame longer than a
    // Modbus frame can be is returned at the silence after it, whole, or
    // once the buffer is full.
    std::optional<ReceivedFrame> next(std::chrono::steady_clock::time_point now);

    // When what is buffered will count as a frame unless more bytes come.
    std::optional<std::chrono::steady_clock::time_point> silence_deadline() const;

    // Drops what is buffered, as a slave does after a broken frame.
    void discard();

private:
    ReceivedFrame take(std::size_t length);

    int fd_;
    std::chrono::nanoseconds end_silence_;
    std::vector<std::uint8_t> bytes_;
    std::vector<std::chrono::steady_clock::time_point> arrived_;
};

}  // namespace metersim
