// Runs a command and reports the CPU time it used (user + system, all its
// threads), the wall time it took and its memory, at its end and, if asked,
// at given lines of its standard output.
//
//   measure_cpu [--mark LINE]... [--stop-after-marks] REPORT_FILE COMMAND [ARGS...]
//
// REPORT_FILE gets one line "cpu_seconds wall_seconds exit_status
// peak_rss_kib" for the whole run (from the kernel's accounting of the
// finished child), then one line "mark LINE cpu_seconds wall_seconds
// rss_kib anon_kib" for each mark reached: the command's CPU time and
// resident memory (all of it, and its anonymous part: heap, stacks) taken
// when its LINE-th line of output arrived. The difference of two marks is
// the work between them, without start-up and shutdown. With
// --stop-after-marks the command gets SIGTERM once the last mark is taken.
// The command's own output passes through untouched.
#include <sys/resource.h>
#include <sys/wait.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include "sysio/write_all.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Mark {
    long line = 0;
    double cpu_seconds = 0;
    double wall_seconds = 0;
    long rss_kib = 0;
    long anon_kib = 0;
};

double seconds_of(const timeval& time)
{
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) * 1e-6;
}

// The CPU time of every thread of a running (or not yet reaped) process.
double process_cpu_seconds(pid_t pid)
{
    clockid_t clock{};
    timespec now{};
    if (clock_getcpuclockid(pid, &clock) != 0 || clock_gettime(clock, &now) != 0)
        return -1;
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// VmRSS and RssAnon of /proc/PID/status, in KiB (-1 where not found).
void read_resident(pid_t pid, long& rss_kib, long& anon_kib)
{
    rss_kib = anon_kib = -1;
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    long value = 0;
    std::string line;
    while (std::getline(status, line)) {
        std::istringstream fields(line);
        if (!(fields >> key >> value))
            continue;
        if (key == "VmRSS:")
            rss_kib = value;
        else if (key == "RssAnon:")
            anon_kib = value;
    }
}

// Copies the child's output to ours, taking each mark as its line arrives.
void follow_output(int from, pid_t child, Clock::time_point start, const std::vector<long>& lines,
                   bool stop_after_marks, std::vector<Mark>& marks)
{
    long seen = 0;
    std::size_t next = 0;
    bool copying = true;
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(from, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return;
        if (copying && !sysio::write_all(STDOUT_FILENO, buffer, static_cast<std::size_t>(got)))
            copying = false;  // keep draining, so that the command is not stopped by its output
        for (ssize_t i = 0; i < got && next < lines.size(); ++i) {
            if (buffer[i] != '\n' || ++seen != lines[next])
                continue;
            Mark mark;
            mark.line = seen;
            mark.cpu_seconds = process_cpu_seconds(child);
            mark.wall_seconds = std::chrono::duration<double>(Clock::now() - start).count();
            read_resident(child, mark.rss_kib, mark.anon_kib);
            marks.push_back(mark);
            if (++next == lines.size() && stop_after_marks)
                ::kill(child, SIGTERM);
        }
    }
}

int usage()
{
    std::cerr << "usage: measure_cpu [--mark LINE]... [--stop-after-marks] REPORT_FILE COMMAND "
                 "[ARGS...]\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<long> mark_lines;
    bool stop_after_marks = false;
    int first = 1;
    for (; first < argc; ++first) {
        const std::string option = argv[first];
        if (option == "--mark" && first + 1 < argc) {
            char* end = nullptr;
            const long line = std::strtol(argv[++first], &end, 10);
            if (*end != '\0' || line < 1)
                return usage();
            mark_lines.push_back(line);
        } else if (option == "--stop-after-marks") {
            stop_after_marks = true;
        } else {
            break;
        }
    }
    if (argc - first < 2)
        return usage();
    std::sort(mark_lines.begin(), mark_lines.end());
    mark_lines.erase(std::unique(mark_lines.begin(), mark_lines.end()), mark_lines.end());
    const char* report_path = argv[first];
    char** command = argv + first + 1;

    int output[2] = {-1, -1};
    if (!mark_lines.empty() && ::pipe(output) != 0) {
        std::perror("measure_cpu: pipe");
        return 2;
    }
    const auto start = Clock::now();
    const pid_t child = fork();
    if (child < 0) {
        std::perror("measure_cpu: fork");
        return 2;
    }
    if (child == 0) {
        if (output[1] >= 0) {
            ::dup2(output[1], STDOUT_FILENO);
            ::close(output[0]);
            ::close(output[1]);
        }
        execvp(command[0], command);
        std::perror("measure_cpu: exec");
        _exit(127);
    }

    std::vector<Mark> marks;
    if (output[0] >= 0) {
        ::close(output[1]);
        follow_output(output[0], child, start, mark_lines, stop_after_marks, marks);
        ::close(output[0]);
    }
    int status = 0;
    rusage usage{};
    pid_t waited = 0;
    while ((waited = wait4(child, &status, 0, &usage)) < 0 && errno == EINTR) {
    }
    if (waited != child) {
        std::perror("measure_cpu: wait4");
        return 2;
    }
    const std::chrono::duration<double> wall = Clock::now() - start;
    const int exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);

    std::ofstream report(report_path);
    report.precision(9);
    report << seconds_of(usage.ru_utime) + seconds_of(usage.ru_stime) << ' ' << wall.count()
           << ' ' << exit_status << ' ' << usage.ru_maxrss << '\n';
    for (const Mark& mark : marks)
        report << "mark " << mark.line << ' ' << mark.cpu_seconds << ' ' << mark.wall_seconds
               << ' ' << mark.rss_kib << ' ' << mark.anon_kib << '\n';
    if (!report) {
        std::cerr << "measure_cpu: cannot write " << argv[first] << '\n';
        return 2;
    }
    return exit_status;
}
