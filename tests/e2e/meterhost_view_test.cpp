// meterhost's live view on a real terminal: meterhost runs in a tmux pane of
// a given size, and the tests read the screen as tmux shows it.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include "tests/e2e/e2e_support.h"

namespace {

using namespace e2e;
using namespace std::chrono_literals;

// A tmux server of its own with one pane of the given size running the
// command under a shell that ignores Ctrl-C itself and notes its exit status.
class TmuxPane {
public:
    TmuxPane(const TempDir& dir, int columns, int rows, const std::string& command)
        : socket_(dir.path("tmux")), status_file_(dir.path("status"))
    {
        const Finished started = tmux(
            {"-f", "/dev/null", "new-session", "-d", "-x", std::to_string(columns), "-y",
             std::to_string(rows),
             "trap '' INT; " + command + "; echo $? > '" + status_file_ + "'", ";", "set-option",
             "-g", "remain-on-exit", "on"});
        if (started.status != 0)
            ADD_FAILURE() << "tmux did not start: " << started.err;
    }
    ~TmuxPane() { tmux({"kill-server"}); }

    std::string screen() const { return tmux({"capture-pane", "-p"}).out; }
    // The screen with what has scrolled off it.
    std::string history() const { return tmux({"capture-pane", "-p", "-S", "-"}).out; }

    // Waits until the screen satisfies `ready`; returns the last screen seen.
    template <typename Ready>
    std::string wait_for(Ready ready, std::chrono::seconds timeout) const
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        std::string shown = screen();
        while (!ready(shown) && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(100ms);
            shown = screen();
        }
        return shown;
    }

    void press_ctrl_c() const { tmux({"send-keys", "C-c"}); }
    void resize(int columns, int rows) const
    {
        tmux({"resize-window", "-x", std::to_string(columns), "-y", std::to_string(rows)});
    }
    bool ended() const { return std::ifstream(status_file_).good(); }

    // The command's exit status once it has ended, nullopt at the timeout.
    std::optional<int> wait_exit(std::chrono::seconds timeout) const
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            std::ifstream file(status_file_);
            int status = -1;
            if (file >> status)
                return status;
            if (std::chrono::steady_clock::now() >= deadline)
                return std::nullopt;
            std::this_thread::sleep_for(100ms);
        }
    }

private:
    Finished tmux(std::vector<std::string> args) const
    {
        args.insert(args.begin(), {KPM_TMUX_PATH, "-u", "-S", socket_});
        return run_command(args, 10s);
    }

    std::string socket_;
    std::string status_file_;
};

std::vector<std::string> cells_of(const std::string& line)
{
    std::vector<std::string> cells;
    std::istringstream stream(line);
    for (std::string cell; stream >> cell;)
        cells.push_back(cell);
    return cells;
}

// The cells of the table's row that starts with `label` (status lines have
// fields apart with '|').
std::vector<std::string> row_of(const std::string& screen, const std::string& label)
{
    for (const std::string& line : lines_of(screen))
        if (line.rfind(label + " ", 0) == 0 && line.find('|') == std::string::npos)
            return cells_of(line);
    return {};
}

// The count of "rvSize is N" lines in the view's title.
unsigned long counted_round_lines(const std::string& screen)
{
    const std::string counted = " lines: rvSize ";
    const auto at = screen.find(counted);
    return at == std::string::npos ? 0 : std::stoul(screen.substr(at + counted.size()));
}

bool every_quantity_named(const std::string& screen)
{
    const auto names = quantity_names();
    return std::all_of(names.begin(), names.end(), [&](const std::string& name) {
        return !row_of(screen, name).empty();
    });
}

TEST(MeterhostView, EightMetersOnA160By45TerminalAllAtOnceAndNoModuleLinesScrolling)
{
    TempDir dir;
    const TmuxPane pane(dir, 160, 45,
                        "'" + kMeterhost +
                            "' --slave 1-8 --baud 115200 --interval 0.1 --timeout-ms 300");
    const std::vector<std::string> all_online = {"state",  "online", "online", "online", "online",
                                                 "online", "online", "online", "online"};
    const std::string screen = pane.wait_for(
        [&](const std::string& shown) {
            return row_of(shown, "state") == all_online && every_quantity_named(shown);
        },
        30s);
    EXPECT_EQ(row_of(screen, "meter"),
              (std::vector<std::string>{"meter", "1", "2", "3", "4", "5", "6", "7", "8"}))
        << screen;
    EXPECT_TRUE(every_quantity_named(screen)) << screen;
    EXPECT_EQ(row_of(screen, "state"), all_online) << screen;
    EXPECT_GT(counted_round_lines(screen), 0u) << screen;
    for (const std::string& line : lines_of(screen)) {
        EXPECT_EQ(line.find("rvSize is"), std::string::npos) << screen;
        EXPECT_EQ(line.find("meterhost: "), std::string::npos) << screen;
    }

    pane.press_ctrl_c();
    EXPECT_EQ(pane.wait_exit(10s), 0);
    EXPECT_EQ(row_of(pane.history(), "meter").size(), 9u) << "the last frame stays\n"
                                                           << pane.history();
}

// Standard error elsewhere: the module's lines and meterhost's messages still
// reach it, each whole, while the view counts them; two lines, each on its
// thread, update the view at once.
TEST(MeterhostView, TwoLinesWithStandardErrorInAFile)
{
    TempDir dir;
    auto first = start_metersim({"--slave", "1,2", "--dead", "2", "--baud", "115200"});
    auto second = start_metersim({"--slave", "3", "--baud", "115200"});
    const std::string err = dir.path("err");
    const TmuxPane pane(dir, 100, 45,
                        "'" + kMeterhost + "' --baud 115200 --interval 0.1 --timeout-ms 100" +
                            " --port '" + first.port + "' --slave 1,2 --port '" + second.port +
                            "' --slave 3 2> '" + err + "'");
    const std::string screen = pane.wait_for(
        [&](const std::string& shown) {
            return row_of(shown, "state") ==
                       std::vector<std::string>{"state", "online", "offline", "online"} &&
                   shown.find("is offline") != std::string::npos;
        },
        30s);
    EXPECT_EQ(row_of(screen, "line"), (std::vector<std::string>{"line", "1", "1", "2"})) << screen;
    EXPECT_NE(screen.find("line 1 " + first.port + " | polling, 1 offline | 2 meters, 1 online"),
              std::string::npos)
        << screen;
    EXPECT_NE(screen.find("line 2 " + second.port + " | polling | 1 meter, 1 online"),
              std::string::npos)
        << screen;
    EXPECT_NE(screen.find("last message: meter 2 on " + first.port + " is offline"),
              std::string::npos)
        << screen;

    pane.press_ctrl_c();
    ASSERT_EQ(pane.wait_exit(10s), 0);
    // The last frame counts every module line that reached the file.
    const std::string last_frame = pane.history();
    std::ifstream err_file(err);
    const std::string written((std::istreambuf_iterator<char>(err_file)),
                              std::istreambuf_iterator<char>());
    int round_lines = 0;
    for (const std::string& line : lines_of(written)) {
        EXPECT_TRUE(is_whole_diagnostic_line(line)) << "not a whole known line: " << line;
        round_lines += line.rfind("rvSize is ", 0) == 0;
    }
    EXPECT_GT(round_lines, 0);
    EXPECT_EQ(counted_round_lines(last_frame), static_cast<unsigned long>(round_lines))
        << last_frame;
    EXPECT_EQ(count_of(written, "meterhost: meter 2 on " + first.port + " is offline"), 1)
        << written;
}

// A scan on a terminal: its progress line on standard error stays one line
// of the screen, updated in place, while the module's "SPModbus get error"
// for each silent address is counted on it instead of scrolling it away;
// when the scan ends the line is gone and the outcome is said.
TEST(MeterhostView, ScanProgressStaysOneLineWhileTheModulesLinesAreCounted)
{
    TempDir dir;
    auto line = start_metersim({"--slave", "40"});
    const TmuxPane pane(dir, 160, 10,
                        "'" + kMeterhost + "' scan --port '" + line.port +
                            "' --slave 1-20 --baud 9600 --parity N --timeout-ms " +
                            kShortTimeoutMs);
    const std::string counted = "| module output ";
    unsigned long most_counted = 0;
    int progress_seen = 0;
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (!pane.ended() && std::chrono::steady_clock::now() < deadline) {
        const std::string screen = pane.screen();
        int progress_lines = 0;
        for (const std::string& shown : lines_of(screen)) {
            EXPECT_EQ(shown.find("SPModbus get error"), std::string::npos) << screen;
            const auto at = shown.find(counted);
            if (at == std::string::npos)
                continue;
            ++progress_lines;
            EXPECT_EQ(shown.rfind(line.port + " 9600 baud, parity N: slave ", 0), 0u) << shown;
            const unsigned long now_counted = std::stoul(shown.substr(at + counted.size()));
            EXPECT_GE(now_counted, most_counted) << shown;
            most_counted = std::max(most_counted, now_counted);
        }
        EXPECT_LE(progress_lines, 1) << screen;
        progress_seen += progress_lines;
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_EQ(pane.wait_exit(10s), 1);
    EXPECT_GT(progress_seen, 0) << "no progress line seen";
    EXPECT_GT(most_counted, 0u) << "the module's lines were not counted";
    const std::string last = pane.history();
    EXPECT_EQ(last.find(counted), std::string::npos) << "the progress line stays\n" << last;
    EXPECT_NE(last.find("no meter answered on " + line.port), std::string::npos) << last;
}

// Whether every line of a screen is a line of a live view frame, each whole:
// a frame drawn for another size leaves wrapped remnants, or cut rows.
bool is_whole_frame(const std::string& screen)
{
    static const std::vector<std::string> labels = [] {
        std::vector<std::string> known{"meterhost ", "line ",   "last message:", "page ",
                                       "meter ",     "state ",  "rounds ",       "errors ",
                                       "age "};
        for (const std::string& name : quantity_names())
            known.push_back(name + " ");
        return known;
    }();
    const auto lines = lines_of(screen);
    if (lines.empty() || lines.front().rfind("meterhost ", 0) != 0)
        return false;
    return std::all_of(lines.begin(), lines.end(), [](const std::string& shown) {
        return std::any_of(labels.begin(), labels.end(), [&](const std::string& label) {
            return shown.rfind(label, 0) == 0;
        });
    });
}

// The "N" of "page M of N", 0 without one.
int page_count(const std::string& screen)
{
    for (const std::string& shown : lines_of(screen))
        if (shown.rfind("page ", 0) == 0 && shown.find(" of ") != std::string::npos)
            return std::stoi(shown.substr(shown.find(" of ") + 4));
    return 0;
}

// The terminal resized during a live view: every frame after it is laid out
// for the new size, the eight meters on pages when they no longer fit, and
// back on one page when the terminal is large again.
TEST(MeterhostView, EveryFrameAfterAResizeFitsTheNewSize)
{
    TempDir dir;
    const TmuxPane pane(dir, 160, 45,
                        "'" + kMeterhost +
                            "' --slave 1-8 --baud 115200 --interval 0.1 --timeout-ms 300");
    const auto all_eight = [](const std::string& shown) {
        return row_of(shown, "meter").size() == 9 && page_count(shown) == 1;
    };
    ASSERT_TRUE(all_eight(pane.wait_for(all_eight, 30s))) << pane.screen();

    struct Size {
        int columns;
        int rows;
        bool paged;
    };
    for (const Size size : {Size{60, 20, true}, Size{160, 45, false}}) {
        pane.resize(size.columns, size.rows);
        const auto laid_out = [&](const std::string& shown) {
            return is_whole_frame(shown) && (page_count(shown) > 1) == size.paged;
        };
        const std::string first = pane.wait_for(laid_out, 10s);
        ASSERT_TRUE(laid_out(first)) << size.columns << "x" << size.rows << "\n" << first;
        // The frames that follow (redrawn at each round, at least every
        // second for the clock) keep to it.
        for (int sample = 0; sample < 10; ++sample) {
            std::this_thread::sleep_for(150ms);
            const std::string shown = pane.screen();
            EXPECT_TRUE(laid_out(shown)) << size.columns << "x" << size.rows << "\n" << shown;
            EXPECT_LE(lines_of(shown).size(), static_cast<std::size_t>(size.rows));
            if (size.paged) {
                EXPECT_LT(row_of(shown, "meter").size(), 9u) << shown;
            }
        }
    }
    pane.press_ctrl_c();
    EXPECT_EQ(pane.wait_exit(10s), 0);
}

}  // namespace
