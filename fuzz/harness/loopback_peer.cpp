#include "fuzz/harness/loopback_peer.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstdio>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include "modbus/rtu_crc.h"
#include "sysio/loopback_listener.h"
#include "sysio/write_all.h"

namespace fuzzharness {

namespace {

std::uint16_t word_at(const LoopbackPeer::Bytes& bytes, std::size_t offset)
{
    return static_cast<std::uint16_t>(bytes[offset] << 8 | bytes[offset + 1]);
}

}  // namespace

LoopbackPeer::LoopbackPeer(Framing framing) : framing_(framing)
{
    std::uint16_t port = 0;
    listen_fd_ = sysio::listen_on_loopback(8, port);
    if (listen_fd_ < 0) {
        std::perror("loopback peer");
        std::abort();
    }
    port_ = port;
    thread_ = std::thread([this] { serve(); });
    thread_.detach();  // serves until the process ends
}

std::string LoopbackPeer::address() const
{
    return std::string(framing_ == Framing::ModbusTcp ? "tcp://" : "rtu+tcp://") +
           "127.0.0.1:" + std::to_string(port_);
}

void LoopbackPeer::plan(Answer answer, bool close_after)
{
    std::lock_guard<std::mutex> lock(mutex_);
    answer_ = std::move(answer);
    close_after_ = close_after;
    answered_ = false;
}

bool LoopbackPeer::wait_answered(int seconds)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(seconds), [this] { return answered_; });
}

LoopbackPeer::Request LoopbackPeer::last_request() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return last_request_;
}

LoopbackPeer::Bytes LoopbackPeer::last_answer() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return last_answer_;
}

bool LoopbackPeer::send_now(const Bytes& bytes)
{
    std::lock_guard<std::mutex> lock(mutex_);
    return connection_ >= 0 && sysio::send_all(connection_, bytes.data(), bytes.size());
}

LoopbackPeer::Bytes LoopbackPeer::framed(std::uint16_t transaction, const Bytes& pdu) const
{
    if (framing_ == Framing::Rtu)
        return modbus::with_rtu_crc(pdu);
    Bytes frame{static_cast<std::uint8_t>(transaction >> 8), static_cast<std::uint8_t>(transaction),
                0, 0, static_cast<std::uint8_t>(pdu.size() >> 8),
                static_cast<std::uint8_t>(pdu.size())};
    frame.insert(frame.end(), pdu.begin(), pdu.end());
    return frame;
}

bool LoopbackPeer::read_exactly(int fd, std::uint8_t* into, std::size_t count)
{
    return sysio::recv_all(fd, into, count);
}

// The line sends only well-formed reads and writes.
bool LoopbackPeer::take_request(int fd, Request& request)
{
    if (framing_ == Framing::ModbusTcp) {
        Bytes header(6);
        if (!read_exactly(fd, header.data(), header.size()))
            return false;
        request.transaction = word_at(header, 0);
        request.pdu.resize(word_at(header, 4));
        return read_exactly(fd, request.pdu.data(), request.pdu.size());
    }
    Bytes frame(7);
    if (!read_exactly(fd, frame.data(), frame.size()))
        return false;
    frame.resize(frame[1] == 16 ? 9 + std::size_t{frame[6]} : 8);
    if (!read_exactly(fd, frame.data() + 7, frame.size() - 7))
        return false;
    request.pdu.assign(frame.begin(), frame.end() - 2);
    return true;
}

void LoopbackPeer::serve()
{
    for (;;) {
        const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            connection_ = fd;
        }
        Request request;
        bool close_now = false;
        while (!close_now && take_request(fd, request)) {
            std::unique_lock<std::mutex> lock(mutex_);
            const Bytes answer = answer_ ? answer_(request) : Bytes{};
            sysio::send_all(fd, answer.data(), answer.size());
            close_now = close_after_;
            last_request_ = request;
            last_answer_ = answer;
            if (close_now) {
                connection_ = -1;
                ::close(fd);
            }
            answered_ = true;
            changed_.notify_all();
        }
        std::lock_guard<std::mutex> lock(mutex_);
        if (!close_now) {
            connection_ = -1;
            ::close(fd);
        }
    }
}

}  // namespace fuzzharness
