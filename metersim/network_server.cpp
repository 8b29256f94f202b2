#include "metersim/network_server.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <variant>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "metersim/frame_receiver.h"
#include "modbus/mbap.h"
#include "sysio/write_all.h"

namespace metersim {

namespace {

using Clock = std::chrono::steady_clock;

// A request whose length its header does not tell ends when nothing follows
// for this long; TCP hands a frame over whole or in quick parts.
constexpr std::chrono::milliseconds kFrameEndSilence{20};
// How long a connection being ended may go on sending before it is reset.
constexpr std::chrono::seconds kLingerAfterEnd{2};

int listen_on(const modbus::SocketAddress& address, std::string& error)
{
    const int fd = ::socket(address.storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) {
        error = std::strerror(errno);
        return -1;
    }
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    // A backlog of one: further masters wait until the one served leaves.
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address.storage), address.length) != 0 ||
        ::listen(fd, 1) != 0) {
        error = std::strerror(errno);
        ::close(fd);
        return -1;
    }
    return fd;
}

int bound_port(int fd)
{
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) != 0)
        return 0;
    if (bound.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&bound)->sin6_port);
    return ntohs(reinterpret_cast<const sockaddr_in*>(&bound)->sin_port);
}

}  // namespace

NetworkServer::NetworkServer(Meters& meters, modbus::LineAddress address)
    : meters_(meters), address_(std::move(address))
{
    if (address_.kind == modbus::LineKind::Serial)
        throw std::invalid_argument("a network server needs tcp:// or rtu+tcp://, not " +
                                    address_.path);
}

NetworkServer::~NetworkServer()
{
    stop();
    if (thread_.joinable())
        thread_.join();
    if (listen_fd_ >= 0)
        ::close(listen_fd_);
}

void NetworkServer::open()
{
    const std::string where = "cannot listen on " + modbus::line_address_text(address_) + ": ";
    wake_.open(where.c_str());
    std::vector<modbus::SocketAddress> resolved;
    std::string error;
    if (!modbus::resolve_line_address(address_, resolved, error))
        throw std::runtime_error(where + error);
    for (const modbus::SocketAddress& candidate : resolved) {
        listen_fd_ = listen_on(candidate, error);
        if (listen_fd_ >= 0)
            break;
    }
    if (listen_fd_ < 0)
        throw std::runtime_error(where + error);
    address_.tcp_port = bound_port(listen_fd_);
}

std::string NetworkServer::address() const { return modbus::line_address_text(address_); }

void NetworkServer::start()
{
    thread_ = std::thread([this] { serve(); });
}

void NetworkServer::stop()
{
    stopping_ = true;
    wake_.wake();
}

void NetworkServer::drop_connection()
{
    dropping_ = true;
    wake_.wake();
}

void NetworkServer::serve()
{
    while (!stopping_) {
        pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {wake_.read_fd(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR)
            return;
        if (fds[1].revents & POLLIN) {
            wake_.drain();
            continue;  // a drop with no connection has nothing to close
        }
        if (!(fds[0].revents & POLLIN))
            continue;
        const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        ++connections_;
        dropping_ = false;
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        last_reply_end_ = Clock::now();
        serve_connection(fd);
        ::close(fd);
    }
}

bool NetworkServer::wait_readable(int fd, const Clock::time_point* deadline)
{
    for (;;) {
        int timeout_ms = -1;
        if (deadline != nullptr) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
            timeout_ms = static_cast<int>(std::max<long long>(left.count(), 0));
        }
        pollfd fds[2] = {{fd, POLLIN, 0}, {wake_.read_fd(), POLLIN, 0}};
        const int ready = ::poll(fds, 2, timeout_ms);
        if (ready < 0 && errno == EINTR)
            continue;
        if (fds[1].revents & POLLIN)
            wake_.drain();
        if (leaving() || ready < 0)
            return false;
        if (ready == 0 || fds[0].revents != 0)
            return true;
    }
}

bool NetworkServer::pause(std::chrono::milliseconds duration)
{
    const auto until = Clock::now() + duration;
    while (!leaving() && Clock::now() < until) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now());
        pollfd wake{wake_.read_fd(), POLLIN, 0};
        ::poll(&wake, 1, static_cast<int>(left.count()));
        wake_.drain();
    }
    return !leaving();
}

void NetworkServer::send_frame(int fd, const Frame& frame)
{
    if (!sysio::send_all(fd, frame.data(), frame.size()))
        return;  // the master has gone; the next read tells
    last_reply_end_ = Clock::now();
    ++replies_;
}

void NetworkServer::serve_rtu(int fd)
{
    FrameReceiver receiver(fd, kFrameEndSilence);
    bool first = true;
    Clock::time_point last_request_end{};
    for (;;) {
        const auto deadline = receiver.silence_deadline();
        if (!wait_readable(fd, deadline ? &*deadline : nullptr))
            return;
        pollfd readable{fd, POLLIN, 0};
        if (::poll(&readable, 1, 0) > 0 && !receiver.read_available())
            return;  // the master closed the connection
        while (auto event = receiver.next(Clock::now())) {
            // A socket has no terminal set-ups: only frames come.
            const auto* frame = std::get_if<ReceivedFrame>(&*event);
            if (frame == nullptr)
                continue;
            RequestTiming timing;
            timing.slave = frame->bytes[0];
            timing.function = frame->bytes.size() > 1 ? frame->bytes[1] : 0;
            timing.arrived = frame->first_byte;
            timing.after_setup = first;
            timing.gap_before =
                std::max(frame->first_byte - std::max(last_request_end, last_reply_end_),
                         Clock::duration::zero());
            timings_.add(timing);
            first = false;
            last_request_end = frame->last_byte;
            const MeterAnswer answer = meters_.answer_rtu(frame->bytes);
            if (answer.broken)
                receiver.discard();
            if (answer.frame.empty())
                continue;
            if (answer.delay.count() > 0 && !pause(answer.delay))
                return;
            send_frame(fd, answer.frame);
        }
    }
}

void NetworkServer::serve_mbap(int fd)
{
    std::vector<std::uint8_t> buffer;
    bool first = true;
    for (;;) {
        if (!wait_readable(fd, nullptr))
            return;
        std::uint8_t chunk[512];
        const ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return;  // the master closed the connection, or it failed
        buffer.insert(buffer.end(), chunk, chunk + got);
        const auto arrived = Clock::now();
        std::vector<std::uint8_t> request;
        for (;;) {
            const modbus::MbapTake taken = modbus::take_mbap_frame(buffer, request);
            if (taken == modbus::MbapTake::Broken) {
                end_after_replies(fd);  // no way to find the next frame
                return;
            }
            if (taken == modbus::MbapTake::NeedMore)
                break;
            const Frame body = modbus::mbap_body(request);
            RequestTiming timing;
            timing.slave = body[0];
            timing.function = body[1];
            timing.arrived = arrived;
            timing.after_setup = first;
            timings_.add(timing);
            first = false;
            const MeterAnswer answer = meters_.answer(body);
            if (answer.frame.empty())
                continue;
            if (answer.delay.count() > 0 && !pause(answer.delay))
                return;
            // With no CRC to damage, a damaged reply answers another transaction.
            const std::uint16_t transaction = static_cast<std::uint16_t>(
                modbus::mbap_transaction(request) + (answer.damaged ? 1 : 0));
            send_frame(fd, modbus::mbap_frame(transaction, answer.frame));
        }
    }
}

// Closing a socket whose received bytes were not all read resets the
// connection, and a reset may throw away replies not yet on their way.
// So the end is told after the replies (shutdown), and what the master
// still sends is read and dropped until it closes too, or for a bounded
// time, before the socket is closed.
void NetworkServer::end_after_replies(int fd)
{
    ::shutdown(fd, SHUT_WR);
    const auto until = Clock::now() + kLingerAfterEnd;
    while (Clock::now() < until && wait_readable(fd, &until)) {
        std::uint8_t dropped[512];
        const ssize_t got = ::recv(fd, dropped, sizeof dropped, MSG_DONTWAIT);
        if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN))
            return;
    }
}

void NetworkServer::serve_connection(int fd)
{
    if (address_.kind == modbus::LineKind::ModbusTcp)
        serve_mbap(fd);
    else
        serve_rtu(fd);
}

}  // namespace metersim
