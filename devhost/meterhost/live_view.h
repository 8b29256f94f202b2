// meterhost's live view on a terminal: one screen of every meter (see
// live_view_layout.h), redrawn from one drawing thread. The line threads'
// rounds and state changes, the module's diagnostic lines and meterhost's
// messages only update the view's state under its lock and mark it dirty;
// the drawing thread redraws at most kMaxRedrawsPerSecond times a second,
// however many rounds complete, once a second for the clock and the ages,
// at once when the terminal's size changes, and turns the page every
// kPageSeconds. While it runs the module's lines and meterhost's messages do
// not reach the terminal: they are counted and shown in the view, and still
// written whole to standard error when that is not the view's terminal.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "devhost/meterhost/host_messages.h"
#include "devhost/meterhost/host_output.h"
#include "devhost/meterhost/live_view_layout.h"
#include "devhost/meterhost/redraw_pacer.h"
#include "devhost/meterhost/session_events.h"

namespace meterhost {

class ModuleOutputTap;
class TerminalScreen;

class LiveView final : public SessionEvents {
public:
    static constexpr int kMaxRedrawsPerSecond = 4;
    static constexpr int kPageSeconds = 5;

    // One port per line; the meters in the order of their indexes.
    LiveView(std::vector<std::string> ports, const std::vector<MeterIdentity>& meters);
    ~LiveView() override;
    LiveView(const LiveView&) = delete;
    LiveView& operator=(const LiveView&) = delete;

    // Takes over the terminal of `out`, the module's output and the
    // messages, and starts drawing. False, with why, when the terminal
    // cannot be used; nothing is changed then.
    bool start(HostOutput& out, HostMessages& messages, std::string& why);
    // Gives everything back and leaves the last frame on the terminal as
    // plain text, so that it stays readable after the run.
    void stop();

    void round_done(const MeterIdentity& meter, const std::string& snapshot_text,
                    unsigned long rounds, unsigned long errors) override;
    void polled(const MeterIdentity& meter, const PollOutcome& outcome) override;
    void module_line(const std::string& line, bool ended);
    void message(const std::string& text);

private:
    void mark_dirty(std::unique_lock<std::mutex>& lock);
    void wake();
    void draw_loop();
    void wait_until(std::chrono::steady_clock::time_point deadline);
    ViewModel model_now();

    std::mutex mutex_;
    ViewModel model_;
    bool dirty_ = true;
    bool stopping_ = false;

    int wake_[2] = {-1, -1};
    HostOutput* out_ = nullptr;
    HostMessages* messages_ = nullptr;
    std::unique_ptr<TerminalScreen> screen_;
    std::unique_ptr<ModuleOutputTap> tap_;
    RedrawPacer pacer_;  // the drawing thread's, read once it has ended
    std::thread drawer_;
};

}  // namespace meterhost
