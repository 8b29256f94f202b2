#include "metersim/terminal_watch.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

// The kernel's own termios2, which carries the speed as a number; glibc's
// <termios.h> cannot be included alongside.
#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace metersim {

namespace {

bool read_settings(int fd, termios2& settings) { return ::ioctl(fd, TCGETS2, &settings) == 0; }

bool write_settings(int fd, const termios2& settings)
{
    return ::ioctl(fd, TCSETS2, &settings) == 0;
}

bool set_packet_mode(int master_fd, bool on)
{
    int value = on ? 1 : 0;
    return ::ioctl(master_fd, TIOCPKT, &value) == 0;
}

// Sets EXTPROC unless it is set already.
bool mark(int master_fd)
{
    termios2 settings{};
    if (!read_settings(master_fd, settings))
        return false;
    if (settings.c_lflag & EXTPROC)
        return true;
    settings.c_lflag |= EXTPROC;
    return write_settings(master_fd, settings);
}

}  // namespace

void watch_terminal_settings(int master_fd)
{
    if (!mark(master_fd) || !set_packet_mode(master_fd, true))
        throw std::runtime_error(std::string("watching the terminal's settings: ") +
                                 std::strerror(errno));
}

bool packet_carries_data(std::uint8_t first_byte) { return first_byte == TIOCPKT_DATA; }

bool status_reports_setup(std::uint8_t status) { return (status & TIOCPKT_IOCTL) != 0; }

int rewatch_terminal_settings(int master_fd)
{
    // Our own change would be reported while packet mode is on; switching
    // it on again also drops any report pending meanwhile, and the speed is
    // read after, so the latest settings are the ones returned.
    if (set_packet_mode(master_fd, false)) {
        mark(master_fd);
        if (!set_packet_mode(master_fd, true))
            return -1;
    }
    return terminal_speed(master_fd);
}

int terminal_speed(int fd)
{
    termios2 settings{};
    return read_settings(fd, settings) ? static_cast<int>(settings.c_ospeed) : 0;
}

bool set_terminal_speed(int fd, int baud)
{
    termios2 settings{};
    if (!read_settings(fd, settings))
        return false;
    settings.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    settings.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    settings.c_ispeed = settings.c_ospeed = static_cast<speed_t>(baud);
    return write_settings(fd, settings);
}

}  // namespace metersim
