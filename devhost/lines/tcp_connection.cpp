#include "devhost/lines/tcp_connection.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace devhost {

namespace {

using Clock = TcpConnection::Clock;

// poll()'s timeout for the time left to the deadline, rounded up so that a
// wait never ends before it.
int milliseconds_until(Clock::time_point deadline)
{
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero())
        return 0;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return static_cast<int>(std::min<long long>(ms, 60 * 60 * 1000));
}

// 0 when fd became ready for `events`, ETIMEDOUT at the deadline, or errno.
int wait_for(int fd, short events, Clock::time_point deadline)
{
    for (;;) {
        pollfd item{fd, events, 0};
        const int ready = ::poll(&item, 1, milliseconds_until(deadline));
        if (ready > 0)
            return 0;
        if (ready == 0) {
            if (Clock::now() >= deadline)
                return ETIMEDOUT;
            continue;  // poll's clock ran ahead of ours by a rounding
        }
        if (errno != EINTR)
            return errno;
    }
}

std::string errno_text(int error) { return std::strerror(error); }

// One address: a non-blocking connect, waited for until the deadline.
int connect_one(const modbus::SocketAddress& address, Clock::time_point deadline, int& error)
{
    const int fd = ::socket(address.storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC,
                            IPPROTO_TCP);
    if (fd < 0) {
        error = errno;
        return -1;
    }
    int status = ::connect(fd, reinterpret_cast<const sockaddr*>(&address.storage), address.length);
    error = status == 0 ? 0 : errno;
    if (status != 0 && error == EINPROGRESS) {
        error = wait_for(fd, POLLOUT, deadline);
        socklen_t length = sizeof status;
        if (error == 0 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &status, &length) == 0)
            error = status;
    }
    if (error != 0) {
        ::close(fd);
        return -1;
    }
    // Frames are small and each is sent whole: send them at once.
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

}  // namespace

TcpConnection::~TcpConnection() { close(); }

void TcpConnection::close()
{
    if (fd_ < 0)
        return;
    ::close(fd_);
    fd_ = -1;
}

bool TcpConnection::connect(const std::vector<modbus::SocketAddress>& addresses,
                            Clock::time_point deadline, std::string& error)
{
    close();
    error = "no address to connect to";
    for (const modbus::SocketAddress& address : addresses) {
        int code = 0;
        fd_ = connect_one(address, deadline, code);
        if (fd_ >= 0)
            return true;
        error = "cannot connect to " + modbus::socket_address_text(address) + ": " +
                (code == ETIMEDOUT ? "no answer in time" : errno_text(code));
        if (Clock::now() >= deadline)
            break;
    }
    return false;
}

bool TcpConnection::read_some(std::vector<std::uint8_t>& into, std::string& error)
{
    std::uint8_t chunk[512];
    bool took_any = false;
    for (;;) {
        const ssize_t got = ::recv(fd_, chunk, sizeof chunk, 0);
        if (got > 0) {
            into.insert(into.end(), chunk, chunk + got);
            took_any = true;
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        // Bytes that came before the end are the caller's; the next read
        // finds the end again.
        if ((got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) || took_any)
            return true;
        error = got == 0 ? "connection closed by the server"
                         : "connection lost: " + errno_text(errno);
        close();
        return false;
    }
}

bool TcpConnection::take_arrived(std::vector<std::uint8_t>& into, std::string& error)
{
    return connected() && read_some(into, error);
}

bool TcpConnection::send(const std::vector<std::uint8_t>& bytes, Clock::time_point deadline,
                         std::string& error)
{
    std::size_t done = 0;
    while (connected() && done < bytes.size()) {
        const ssize_t sent = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (sent > 0) {
            done += static_cast<std::size_t>(sent);
            continue;
        }
        int code = errno;
        if (sent < 0 && code == EINTR)
            continue;
        if (sent < 0 && (code == EAGAIN || code == EWOULDBLOCK))
            code = wait_for(fd_, POLLOUT, deadline);
        if (code == 0)
            continue;
        error = code == ETIMEDOUT ? "connection stalled: the request could not be sent in time"
                                  : "connection lost: " + errno_text(code);
        close();
        return false;
    }
    return connected();
}

TcpConnection::Wait TcpConnection::receive(std::vector<std::uint8_t>& into,
                                           Clock::time_point deadline, std::string& error)
{
    if (!connected()) {
        error = "not connected";
        return Wait::Lost;
    }
    const int code = wait_for(fd_, POLLIN, deadline);
    if (code == ETIMEDOUT)
        return Wait::Deadline;
    if (code != 0) {
        error = "connection lost: " + errno_text(code);
        close();
        return Wait::Lost;
    }
    return read_some(into, error) ? Wait::Data : Wait::Lost;
}

}  // namespace devhost
