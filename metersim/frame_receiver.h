// Requests as they arrive on the line, with the time each byte came: cut
// into frames at the length their header declares, or, for a request whose
// length the header does not give (or a broken one), at a silence after it.
// On a watched pseudo-terminal (terminal_watch.h) it also tells when a
// master set the terminal up, in order with the frames: a set-up ends
// whatever was on the line before it.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <variant>
#include <vector>

namespace metersim {

struct ReceivedFrame {
    std::vector<std::uint8_t> bytes;
    std::chrono::steady_clock::time_point first_byte;  // when it was read off the line
    std::chrono::steady_clock::time_point last_byte;
};

// A master set the terminal up (opened the port, or closed it and restored
// the settings it found): when the receiver saw it, and the speed it set.
struct TerminalSetUp {
    std::chrono::steady_clock::time_point seen;
    int baud = 0;
};

using LineEvent = std::variant<ReceivedFrame, TerminalSetUp>;

class FrameReceiver {
public:
    // end_silence: how long no byte may follow before what is buffered
    // counts as a frame of its own. watched: fd is the master side of a
    // watched pseudo-terminal, whose reads begin with a status byte.
    FrameReceiver(int fd, std::chrono::nanoseconds end_silence, bool watched = false);

    // One read of what the line holds; call it when the line is readable,
    // as the read waits otherwise. False when the line is closed or failing
    // (errno tells).
    bool read_available();

    // The oldest complete frame or set-up, if any. A frame longer than a
    // Modbus frame can be is returned at the silence after it, whole, or
    // once the buffer is full.
    std::optional<LineEvent> next(std::chrono::steady_clock::time_point now);

    // When what is buffered will count as a frame unless more bytes come.
    std::optional<std::chrono::steady_clock::time_point> silence_deadline() const;

    // Drops the bytes buffered before the next set-up, as a slave does after
    // a broken frame.
    void discard();

private:
    ReceivedFrame take(std::size_t length);
    void add_setup(std::chrono::steady_clock::time_point seen, int baud);

    int fd_;
    std::chrono::nanoseconds end_silence_;
    bool watched_;
    std::deque<LineEvent> ready_;  // events that came before the bytes buffered
    std::vector<std::uint8_t> bytes_;
    std::vector<std::chrono::steady_clock::time_point> arrived_;
};

}  // namespace metersim
