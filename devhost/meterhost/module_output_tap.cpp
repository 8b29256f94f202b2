#include "module_output_tap.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <stdexcept>

#include <fcntl.h>
#include <unistd.h>

#include "host_output.h"

namespace meterhost {

ModuleOutputTap::ModuleOutputTap(LineHandler handler, bool forward_to_error)
    : handler_(std::move(handler)), forward_(forward_to_error)
{
    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0)
        throw std::runtime_error(std::string("cannot catch the module's output: ") +
                                 std::strerror(errno));
    std::cout.flush();
    std::fflush(stdout);
    if (::dup2(pipe_fds[1], STDOUT_FILENO) < 0) {
        const int error = errno;
        ::close(pipe_fds[0]);
        ::close(pipe_fds[1]);
        throw std::runtime_error(std::string("cannot catch the module's output: ") +
                                 std::strerror(error));
    }
    ::close(pipe_fds[1]);  // descriptor 1 is now the pipe's only writer
    reader_ = std::thread([this, fd = pipe_fds[0]] { read_lines(fd); });
}

ModuleOutputTap::~ModuleOutputTap()
{
    std::cout.flush();
    std::fflush(stdout);
    ::dup2(STDERR_FILENO, STDOUT_FILENO);  // the pipe's writer goes: the reader sees its end
    reader_.join();
}

void ModuleOutputTap::take(const std::string& line)
{
    handler_(line);
    if (forward_)
        write_whole(STDERR_FILENO, line + "\n");
}

void ModuleOutputTap::read_lines(int fd)
{
    std::string pending;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        pending.append(buffer, static_cast<std::size_t>(got));
        std::size_t start = 0;
        for (std::size_t end; (end = pending.find('\n', start)) != std::string::npos;
             start = end + 1)
            take(pending.substr(start, end - start));
        pending.erase(0, start);
    }
    // An unfinished last line still counts, and is passed on as it came.
    if (!pending.empty()) {
        handler_(pending);
        if (forward_)
            write_whole(STDERR_FILENO, pending);
    }
    ::close(fd);
}

}  // namespace meterhost
