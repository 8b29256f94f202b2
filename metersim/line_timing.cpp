#include "line_timing.h"

#include <cerrno>
#include <thread>

#include <unistd.h>

namespace metersim {

int bits_per_byte(char parity) { return parity == 'N' ? 10 : 11; }

std::chrono::nanoseconds byte_time(int baud, char parity)
{
    if (baud <= 0)
        return std::chrono::nanoseconds(0);
    return std::chrono::nanoseconds(1000000000LL * bits_per_byte(parity) / baud);
}

namespace {

bool write_all(int fd, const std::uint8_t* data, std::size_t length)
{
    while (length > 0) {
        const ssize_t written = ::write(fd, data, length);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += written;
        length -= static_cast<std::size_t>(written);
    }
    return true;
}

}  // namespace

bool write_frame(int fd, const std::uint8_t* data, std::size_t length,
                 std::chrono::nanoseconds per_byte, std::chrono::steady_clock::time_point start)
{
    if (per_byte.count() == 0)
        return write_all(fd, data, length);
    for (std::size_t i = 0; i < length; ++i) {
        std::this_thread::sleep_until(start + per_byte * static_cast<long>(i + 1));
        if (!write_all(fd, data + i, 1))
            return false;
    }
    return true;
}

}  // namespace metersim
