#include "devhost/meterhost/descriptor_lines.h"

#include <cerrno>

#include <unistd.h>

namespace meterhost {

void read_lines_to_end(int fd, const LineTaker& take)
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
            take(pending.substr(start, end - start), true);
        pending.erase(0, start);
    }
    if (!pending.empty())
        take(pending, false);
}

}  // namespace meterhost
