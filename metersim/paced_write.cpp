#include "metersim/paced_write.h"

#include <cerrno>
#include <thread>

#include <unistd.h>

#include "sysio/write_all.h"

namespace metersim {

bool write_frame(int fd, const std::uint8_t* data, std::size_t length,
                 std::chrono::nanoseconds per_byte, std::chrono::steady_clock::time_point start,
                 LineInterval* sent)
{
    using Clock = std::chrono::steady_clock;
    LineInterval interval{Clock::now(), Clock::now()};
    bool ok = true;
    if (per_byte.count() == 0) {
        ok = sysio::write_all(fd, data, length);
    } else {
        for (std::size_t i = 0; ok && i < length; ++i) {
            std::this_thread::sleep_until(start + per_byte * static_cast<long>(i + 1));
            // A byte handed over now has been on the line for one byte time.
            const auto handed = Clock::now();
            if (i == 0)
                interval.start = handed - per_byte;
            interval.end = handed;
            ok = sysio::write_all(fd, data + i, 1);
        }
    }
    if (sent != nullptr)
        *sent = interval;
    return ok;
}

}  // namespace metersim
