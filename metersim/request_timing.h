// What a server saw of each request it received, for tests and benchmarks
// that check the silences a master keeps.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

namespace metersim {

// One frame a server received and how much silence came before it on the
// line: since the end of the previous request, the last reply sent before
// this frame began, or the last set-up of the line, whichever was latest
// (before all of these, since the server opened the line).
struct RequestTiming {
    int slave = 0;     // the frame's address byte
    int function = 0;  // its function code; 0 for a frame too short to have one
    std::vector<std::uint8_t> bytes;  // the frame as received, checksum included
    std::chrono::steady_clock::time_point arrived;  // its first byte
    std::chrono::nanoseconds gap_before{0};
    // The silence is counted from a set-up of the line (the pseudo-terminal
    // set up by a master; a new connection). The simulator sees a set-up
    // only when its thread next runs, so on a busy machine it may count less
    // silence than the line had: such a frame is measured, and never dropped
    // for it.
    bool after_setup = false;
    int baud = 0;              // the speed the line was set to when it came
    bool wrong_speed = false;  // garbage at the meter's own speed (line timing only)
    bool rejected = false;     // dropped for too short a silence (line timing only)
};

// The most recent entries (up to kLength), oldest first; safe from any thread.
template <typename Entry>
class RecentLog {
public:
    static constexpr std::size_t kLength = 4096;

    void add(Entry entry)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (entries_.size() == kLength)
            entries_.pop_front();
        entries_.push_back(std::move(entry));
    }
    std::vector<Entry> entries() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return {entries_.begin(), entries_.end()};
    }

private:
    mutable std::mutex mutex_;
    std::deque<Entry> entries_;
};

}  // namespace metersim
