#include "devhost/meterhost/terminal_screen.h"

#include <atomic>
#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <cstring>

#include <curses.h>
#include <langinfo.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace meterhost {

namespace {

std::atomic<bool> size_changed{false};
std::atomic<int> resize_wake_fd{-1};

extern "C" void on_window_change(int)
{
    const int saved = errno;
    size_changed = true;
    const char byte = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(resize_wake_fd, &byte, 1);
    errno = saved;
}

// Taken on the drawing thread only: the size change, and ncurses' own
// handling of Ctrl-Z, which draws.
sigset_t drawing_thread_signals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGWINCH);
    sigaddset(&set, SIGTSTP);
    return set;
}

bool utf8_character_type()
{
    return std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0;
}

}  // namespace

std::unique_ptr<TerminalScreen> TerminalScreen::open(std::FILE* out, int wake_fd, std::string& why)
{
    const char* current = std::setlocale(LC_CTYPE, nullptr);
    // Its destructor puts back what is changed from here on.
    std::unique_ptr<TerminalScreen> terminal(
        new TerminalScreen(out, current != nullptr ? current : "C"));
    // The user's own character type if it is UTF-8, else the C library's
    // UTF-8 one; the terminal itself is taken to show UTF-8.
    if ((std::setlocale(LC_CTYPE, "") == nullptr || !utf8_character_type()) &&
        (std::setlocale(LC_CTYPE, "C.UTF-8") == nullptr || !utf8_character_type())) {
        why = "no UTF-8 locale for the Chinese quantity names";
        return nullptr;
    }

    // Installed before ncurses starts, so that it leaves SIGWINCH to us. The
    // threads started from here on inherit the blocked signal.
    resize_wake_fd = wake_fd;
    size_changed = false;
    struct sigaction action {};
    action.sa_handler = on_window_change;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGWINCH, &action, nullptr);
    const sigset_t set = drawing_thread_signals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);

    const char* const type = std::getenv("TERM");
    terminal->screen_ = newterm(nullptr, out, stdin);
    if (terminal->screen_ == nullptr) {
        why = "terminal type '" + std::string(type != nullptr ? type : "") + "' unknown to ncurses";
        return nullptr;
    }
    set_term(terminal->screen_);
    // A terminal that cannot place the cursor (TERM=dumb) cannot show a screen.
    char* const place_cursor = tigetstr("cup");
    if (place_cursor == nullptr || place_cursor == reinterpret_cast<char*>(-1)) {
        why = "terminal type '" + std::string(type != nullptr ? type : "") +
              "' cannot place the cursor";
        return nullptr;
    }
    noecho();
    typeahead(-1);  // nothing is read from the keyboard: never hold an update for it
    curs_set(0);
    leaveok(stdscr, TRUE);
    if (!terminal->read_size())
        terminal->size_ = {static_cast<std::size_t>(COLS), static_cast<std::size_t>(LINES)};
    return terminal;
}

TerminalScreen::TerminalScreen(std::FILE* out, std::string saved_locale)
    : out_(out), saved_locale_(std::move(saved_locale))
{
    sigaction(SIGWINCH, nullptr, &previous_winch_);
    pthread_sigmask(SIG_BLOCK, nullptr, &previous_mask_);
}

TerminalScreen::~TerminalScreen()
{
    if (screen_ != nullptr) {
        endwin();
        delscreen(screen_);
    }
    pthread_sigmask(SIG_SETMASK, &previous_mask_, nullptr);
    sigaction(SIGWINCH, &previous_winch_, nullptr);
    resize_wake_fd = -1;
    std::setlocale(LC_CTYPE, saved_locale_.c_str());
}

void TerminalScreen::take_resize_signal()
{
    const sigset_t set = drawing_thread_signals();
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

bool TerminalScreen::read_size()
{
    winsize window{};
    if (::ioctl(::fileno(out_), TIOCGWINSZ, &window) != 0 || window.ws_row == 0 ||
        window.ws_col == 0)
        return false;
    if (window.ws_row == size_.rows && window.ws_col == size_.columns)
        return false;
    size_ = {window.ws_col, window.ws_row};
    resizeterm(window.ws_row, window.ws_col);
    return true;
}

bool TerminalScreen::follow_resize()
{
    if (!size_changed.exchange(false))
        return false;
    if (!read_size())
        return false;
    clearok(curscr, TRUE);  // the terminal may have moved what it showed
    return true;
}

void TerminalScreen::draw(const std::vector<std::string>& lines)
{
    werase(stdscr);
    for (std::size_t row = 0; row < lines.size() && row < size_.rows; ++row)
        mvwaddstr(stdscr, static_cast<int>(row), 0, lines[row].c_str());
    wnoutrefresh(stdscr);
    doupdate();
}

}  // namespace meterhost
