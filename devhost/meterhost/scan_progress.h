// The progress line of a scan on a terminal: one line on standard error,
// redrawn in place, at most ten times a second. Off a terminal it shows
// nothing.
#pragma once

#include <chrono>
#include <string>

namespace meterhost {

class ScanProgress {
public:
    explicit ScanProgress(bool on_terminal) : shown_(on_terminal) {}
    ~ScanProgress() { clear(); }
    ScanProgress(const ScanProgress&) = delete;
    ScanProgress& operator=(const ScanProgress&) = delete;

    bool shown() const { return shown_; }
    // Redraws the line with this text, unless it was drawn a moment ago.
    void update(const std::string& text);
    // Takes the line away, so that other output starts on a clean line.
    void clear();

private:
    const bool shown_;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point drawn_at_{};
};

// "at most 1 min 5 s left"
std::string time_left_text(std::chrono::nanoseconds left);

}  // namespace meterhost
