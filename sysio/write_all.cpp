#include "sysio/write_all.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace sysio {
namespace {

template <typename Put>
bool put_all(const void* data, std::size_t length, Put put)
{
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (length > 0) {
        const ssize_t done = put(bytes, length);
        if (done < 0 && errno == EINTR)
            continue;
        if (done == 0)
            errno = ENOSPC;
        if (done <= 0)
            return false;
        bytes += done;
        length -= static_cast<std::size_t>(done);
    }
    return true;
}

}  // namespace

bool write_all(int fd, const void* data, std::size_t length)
{
    return put_all(data, length, [fd](const unsigned char* bytes, std::size_t left) {
        return ::write(fd, bytes, left);
    });
}

bool write_all(int fd, const std::string& text)
{
    return write_all(fd, text.data(), text.size());
}

bool send_all(int fd, const void* data, std::size_t length)
{
    return put_all(data, length, [fd](const unsigned char* bytes, std::size_t left) {
        return ::send(fd, bytes, left, MSG_NOSIGNAL);
    });
}

bool recv_all(int fd, void* into, std::size_t length)
{
    auto* bytes = static_cast<unsigned char*>(into);
    while (length > 0) {
        const ssize_t got = ::recv(fd, bytes, length, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got == 0)
            errno = 0;
        if (got <= 0)
            return false;
        bytes += got;
        length -= static_cast<std::size_t>(got);
    }
    return true;
}

}  // namespace sysio
