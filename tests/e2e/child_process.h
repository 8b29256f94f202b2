// A command run by a test, with its standard output and error collected
// through pipes. Every wait is bounded; a process still running when the
// object goes is killed.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

class ChildProcess {
public:
    explicit ChildProcess(const std::vector<std::string>& argv);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // The next whole line of standard output, without its line feed.
    std::optional<std::string> read_line(std::chrono::milliseconds timeout);
    // Waits until standard error contains text.
    bool wait_for_error_text(const std::string& text, std::chrono::milliseconds timeout);

    void send_signal(int signal);
    // Exit status, or 128 + signal number; nullopt if still running at the timeout.
    std::optional<int> wait(std::chrono::milliseconds timeout);

    const std::string& out() const { return out_; }
    const std::string& err() const { return err_; }

private:
    // Moves whatever the pipes hold into out_ and err_, waiting up to timeout
    // for something to arrive.
    void pump(std::chrono::milliseconds timeout);

    pid_t pid_ = -1;
    int out_fd_ = -1;
    int err_fd_ = -1;
    std::string out_;
    std::size_t out_taken_ = 0;
    std::string err_;
    std::optional<int> status_;
};

struct Finished {
    int status;
    std::string out;
    std::string err;
};

// Runs a command to its end (killed after timeout, status then 128 + 9).
Finished run_command(const std::vector<std::string>& argv,
                     std::chrono::milliseconds timeout = std::chrono::seconds(30));
