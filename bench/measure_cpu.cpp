// Runs a command and reports the CPU time it used (user + system, from the
// kernel's accounting of the finished child), the wall time it took and its
// peak resident memory.
//
//   measure_cpu REPORT_FILE COMMAND [ARGS...]
//
// REPORT_FILE gets one line: "cpu_seconds wall_seconds exit_status
// peak_rss_kib". The
// command's own output passes through untouched.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>

namespace {

double seconds_of(const timeval& time)
{
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) * 1e-6;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::cerr << "usage: measure_cpu REPORT_FILE COMMAND [ARGS...]\n";
        return 2;
    }
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child < 0) {
        std::perror("measure_cpu: fork");
        return 2;
    }
    if (child == 0) {
        execvp(argv[2], argv + 2);
        std::perror("measure_cpu: exec");
        _exit(127);
    }

    int status = 0;
    rusage usage{};
    if (wait4(child, &status, 0, &usage) != child) {
        std::perror("measure_cpu: wait4");
        return 2;
    }
    const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start;
    const int exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);

    std::ofstream report(argv[1]);
    report << seconds_of(usage.ru_utime) + seconds_of(usage.ru_stime) << ' ' << wall.count()
           << ' ' << exit_status << ' ' << usage.ru_maxrss << '\n';
    if (!report) {
        std::cerr << "measure_cpu: cannot write " << argv[1] << '\n';
        return 2;
    }
    return exit_status;
}
