#include "tests/e2e/child_process.h"

#include <cerrno>
#include <csignal>
#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

std::chrono::milliseconds left_until(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? left : std::chrono::milliseconds(0);
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv)
{
    int out_pipe[2], err_pipe[2];
    if (::pipe2(out_pipe, O_CLOEXEC) != 0 || ::pipe2(err_pipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    pid_ = ::fork();
    if (pid_ < 0)
        throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        ::dup2(out_pipe[1], STDOUT_FILENO);
        ::dup2(err_pipe[1], STDERR_FILENO);
        std::vector<char*> args;
        for (const std::string& arg : argv)
            args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);
    out_fd_ = out_pipe[0];
    err_fd_ = err_pipe[0];
    ::fcntl(out_fd_, F_SETFL, O_NONBLOCK);
    ::fcntl(err_fd_, F_SETFL, O_NONBLOCK);
}

ChildProcess::~ChildProcess()
{
    if (!status_) {
        ::kill(pid_, SIGKILL);
        wait(std::chrono::seconds(5));
    }
    ::close(out_fd_);
    ::close(err_fd_);
}

void ChildProcess::pump(std::chrono::milliseconds timeout)
{
    pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
    if (::poll(fds, 2, static_cast<int>(timeout.count())) <= 0)
        return;
    char buffer[4096];
    for (int i = 0; i < 2; ++i) {
        ssize_t got;
        while ((got = ::read(fds[i].fd, buffer, sizeof buffer)) > 0)
            (i == 0 ? out_ : err_).append(buffer, static_cast<std::size_t>(got));
    }
}

std::optional<std::string> ChildProcess::read_line(std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const auto end = out_.find('\n', out_taken_);
        if (end != std::string::npos) {
            std::string line = out_.substr(out_taken_, end - out_taken_);
            out_taken_ = end + 1;
            return line;
        }
        if (Clock::now() >= deadline)
            return std::nullopt;
        pump(std::min(left_until(deadline), std::chrono::milliseconds(50)));
    }
}

bool ChildProcess::wait_for_error_text(const std::string& text, std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    while (err_.find(text) == std::string::npos) {
        if (Clock::now() >= deadline)
            return false;
        pump(std::min(left_until(deadline), std::chrono::milliseconds(50)));
    }
    return true;
}

void ChildProcess::send_signal(int signal)
{
    if (!status_)
        ::kill(pid_, signal);
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    while (!status_) {
        int raw = 0;
        const pid_t done = ::waitpid(pid_, &raw, WNOHANG);
        if (done == pid_)
            status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        else if (Clock::now() >= deadline)
            return std::nullopt;
        else
            pump(std::chrono::milliseconds(20));
    }
    pump(std::chrono::milliseconds(0));
    return status_;
}

Finished run_command(const std::vector<std::string>& argv, std::chrono::milliseconds timeout)
{
    ChildProcess child(argv);
    auto status = child.wait(timeout);
    if (!status) {
        child.send_signal(SIGKILL);
        status = child.wait(std::chrono::seconds(5));
    }
    return {status.value_or(-1), child.out(), child.err()};
}
