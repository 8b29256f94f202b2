#include "devhost/meterhost/module_output_tap.h"
#include "sysio/write_all.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <stdexcept>

#include <fcntl.h>
#include <unistd.h>

#include "devhost/meterhost/descriptor_lines.h"
#include "devhost/meterhost/host_output.h"

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

void ModuleOutputTap::read_lines(int fd)
{
    // An unfinished last line still counts, and is passed on as it came.
    read_lines_to_end(fd, [this](const std::string& line, bool ended) {
        handler_(line);
        if (forward_)
            sysio::write_all(STDERR_FILENO, ended ? line + "\n" : line);
    });
    ::close(fd);
}

}  // namespace meterhost
