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

}  // namespace
