// The terminal the live view draws on, through ncurses: opened on the
// original standard output, drawn from one thread only, and followed as its
// size changes. SIGWINCH only sets a flag and wakes the drawing thread
// through a descriptor; the other threads of the process do not take it.
#pragma once

#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "devhost/meterhost/live_view_layout.h"

struct screen;

namespace meterhost {

class TerminalScreen {
public:
    // Takes over the terminal `out` writes to, with a UTF-8 character type
    // (the quantity names are Chinese); wake_fd gets a byte when the size
    // changes. Null, with why, when the terminal cannot be used. Call on the
    // thread that starts the others, before it starts them.
    static std::unique_ptr<TerminalScreen> open(std::FILE* out, int wake_fd, std::string& why);
    // Gives the terminal back as it was (main screen, echo, cursor).
    ~TerminalScreen();
    TerminalScreen(const TerminalScreen&) = delete;
    TerminalScreen& operator=(const TerminalScreen&) = delete;

    // On the drawing thread, before it draws: it alone takes SIGWINCH (and
    // SIGTSTP, which ncurses handles by drawing).
    void take_resize_signal();
    // True once after the terminal changed its size; size() is then the new one.
    bool follow_resize();
    ScreenSize size() const { return size_; }
    // The lines from the top, the rest of the screen blank.
    void draw(const std::vector<std::string>& lines);

private:
    TerminalScreen(std::FILE* out, std::string saved_locale);
    bool read_size();

    std::FILE* out_;
    std::string saved_locale_;
    screen* screen_ = nullptr;
    ScreenSize size_{0, 0};
    struct sigaction previous_winch_ {};
    sigset_t previous_mask_{};
};

}  // namespace meterhost
