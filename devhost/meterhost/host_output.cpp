#include "devhost/meterhost/host_output.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace meterhost {

void HostOutput::divert()
{
    std::fflush(stdout);
    const int original = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (original < 0 || ::dup2(STDERR_FILENO, STDOUT_FILENO) < 0)
        throw std::runtime_error(std::string("cannot set up standard output: ") +
                                 std::strerror(errno));
    // The module's lines now go to standard error; keep them whole and prompt.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    terminal_ = ::isatty(original) == 1;
    stream_ = ::fdopen(original, "w");
    if (stream_ == nullptr) {
        const int why = errno;
        ::close(original);
        throw std::runtime_error(std::string("cannot set up standard output: ") +
                                 std::strerror(why));
    }
}

void HostOutput::write(const std::string& text)
{
    if (stream_ == nullptr)
        return;
    std::fwrite(text.data(), 1, text.size(), stream_);
    std::fflush(stream_);
}

bool HostOutput::error_on_same_terminal() const
{
    struct stat output {};
    struct stat error {};
    return terminal_ && ::isatty(STDERR_FILENO) == 1 && ::fstat(::fileno(stream_), &output) == 0 &&
           ::fstat(STDERR_FILENO, &error) == 0 && output.st_rdev == error.st_rdev;
}

HostOutput::~HostOutput()
{
    if (stream_ != nullptr)
        std::fclose(stream_);
}

}  // namespace meterhost
