#include "devhost/meterhost/module_output_tap.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <stdexcept>

#include <fcntl.h>
#include <unistd.h>

#include "devhost/meterhost/descriptor_lines.h"

namespace meterhost {

namespace {

// What the process has buffered for descriptor 1 goes out before it changes.
void flush_standard_output()
{
    std::cout.flush();
    std::fflush(stdout);
}

}  // namespace

ModuleOutputTap::ModuleOutputTap(LineHandler handler, int restore_to)
    : handler_(std::move(handler)), restore_to_(restore_to)
{
    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0)
        throw std::runtime_error(std::string("cannot catch the module's output: ") +
                                 std::strerror(errno));
    flush_standard_output();
    if (::dup2(pipe_fds[1], STDOUT_FILENO) < 0) {
        const int error = errno;
        ::close(pipe_fds[0]);
        ::close(pipe_fds[1]);
        throw std::runtime_error(std::string("cannot catch the module's output: ") +
                                 std::strerror(error));
    }
    ::close(pipe_fds[1]);  // descriptor 1 is now the pipe's only writer
    reader_ = std::thread([this, fd = pipe_fds[0]] {
        read_lines_to_end(fd, handler_);
        ::close(fd);
    });
}

ModuleOutputTap::~ModuleOutputTap() { finish(); }

void ModuleOutputTap::finish()
{
    if (!reader_.joinable())
        return;
    flush_standard_output();
    ::dup2(restore_to_, STDOUT_FILENO);  // the pipe's writer goes: the reader sees its end
    reader_.join();
}

}  // namespace meterhost
