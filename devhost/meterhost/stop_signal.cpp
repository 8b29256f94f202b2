#include "devhost/meterhost/stop_signal.h"

#include <atomic>
#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace meterhost {

namespace {

std::atomic<bool> stop_requested{false};
int wake_pipe[2] = {-1, -1};
struct sigaction previous_int {};
struct sigaction previous_term {};

extern "C" void on_stop_signal(int)
{
    const int saved = errno;
    stop_requested = true;
    const char byte = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(wake_pipe[1], &byte, 1);
    errno = saved;
}

}  // namespace

StopSignal::StopSignal()
{
    stop_requested = false;
    if (wake_pipe[0] < 0) {
        [[maybe_unused]] const int ignored = ::pipe2(wake_pipe, O_CLOEXEC | O_NONBLOCK);
    }
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, &previous_int);
    sigaction(SIGTERM, &action, &previous_term);
}

StopSignal::~StopSignal()
{
    sigaction(SIGINT, &previous_int, nullptr);
    sigaction(SIGTERM, &previous_term, nullptr);
}

bool StopSignal::requested() const { return stop_requested; }

void StopSignal::request() { on_stop_signal(0); }

bool StopSignal::wait_until(std::chrono::steady_clock::time_point deadline) const
{
    while (!stop_requested) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        pollfd wake = {wake_pipe[0], POLLIN, 0};
        ::poll(&wake, 1, static_cast<int>(left.count()));
    }
    return stop_requested;
}

}  // namespace meterhost
