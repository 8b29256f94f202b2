#include "metersim/pseudo_terminal.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include "metersim/terminal_watch.h"

namespace metersim {

namespace {

std::runtime_error failure(const std::string& what)
{
    return std::runtime_error(what + ": " + std::strerror(errno));
}

}  // namespace

PseudoTerminal::PseudoTerminal(int baud)
{
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0)
        throw failure("posix_openpt");
    char name[PATH_MAX];
    if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0 ||
        ::ptsname_r(master_, name, sizeof name) != 0) {
        const auto error = failure("pseudo-terminal set-up");
        ::close(master_);
        throw error;
    }
    path_ = name;
    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios raw{};
    if (slave_ < 0 || ::tcgetattr(slave_, &raw) != 0) {
        const auto error = failure("open " + path_);
        if (slave_ >= 0)
            ::close(slave_);
        ::close(master_);
        throw error;
    }
    ::cfmakeraw(&raw);
    ::tcsetattr(slave_, TCSANOW, &raw);
    try {
        if (!set_terminal_speed(slave_, baud))
            throw failure("setting " + path_ + " to " + std::to_string(baud) + " baud");
        watch_terminal_settings(master_);
    } catch (...) {
        ::close(slave_);
        ::close(master_);
        throw;
    }
}

PseudoTerminal::~PseudoTerminal()
{
    if (!link_.empty()) {
        char target[PATH_MAX];
        const ssize_t length = ::readlink(link_.c_str(), target, sizeof target - 1);
        if (length > 0 && path_ == std::string(target, static_cast<std::size_t>(length)))
            ::unlink(link_.c_str());
    }
    ::close(slave_);
    ::close(master_);
}

void PseudoTerminal::link_as(const std::string& link)
{
    const std::string temporary = link + ".new" + std::to_string(::getpid());
    ::unlink(temporary.c_str());
    if (::symlink(path_.c_str(), temporary.c_str()) != 0)
        throw failure("symlink " + temporary);
    if (::rename(temporary.c_str(), link.c_str()) != 0) {
        const auto error = failure("rename to " + link);
        ::unlink(temporary.c_str());
        throw error;
    }
    link_ = link;
}

}  // namespace metersim
