#include "metersim/wake_pipe.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

#include <fcntl.h>
#include <unistd.h>

namespace metersim {

WakePipe::~WakePipe()
{
    for (int fd : fds_)
        if (fd >= 0)
            ::close(fd);
}

void WakePipe::open(const char* what)
{
    if (::pipe2(fds_, O_CLOEXEC | O_NONBLOCK) != 0)
        throw std::runtime_error(std::string(what) + std::strerror(errno));
}

void WakePipe::wake()
{
    if (fds_[1] < 0)
        return;
    const char byte = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(fds_[1], &byte, 1);
}

void WakePipe::drain()
{
    char drained[16];
    while (::read(fds_[0], drained, sizeof drained) > 0) {
    }
}

}  // namespace metersim
