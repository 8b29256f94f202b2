#include "tests/e2e/scripted_peer.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include "modbus/rtu_crc.h"
#include "sysio/loopback_listener.h"
#include "sysio/write_all.h"

namespace e2e {

namespace {

std::uint16_t word_at(const Bytes& bytes, std::size_t offset)
{
    return static_cast<std::uint16_t>(bytes[offset] << 8 | bytes[offset + 1]);
}

void put_word(Bytes& bytes, unsigned word)
{
    bytes.push_back(static_cast<std::uint8_t>(word >> 8));
    bytes.push_back(static_cast<std::uint8_t>(word));
}

}  // namespace

std::uint16_t peer_register(int address) { return static_cast<std::uint16_t>(0x4000 + address); }

Bytes with_peer_crc(Bytes bytes)
{
    const std::uint16_t crc = modbus::rtu_crc(bytes.data(), bytes.size());
    bytes.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>(crc >> 8));
    return bytes;
}

Bytes good_reply_pdu(const PeerRequest& request)
{
    const Bytes& pdu = request.pdu;
    Bytes reply{pdu[0], pdu[1]};
    if (pdu[1] == 3) {
        const int address = word_at(pdu, 2);
        const int count = word_at(pdu, 4);
        reply.push_back(static_cast<std::uint8_t>(2 * count));
        for (int i = 0; i < count; ++i)
            put_word(reply, peer_register(address + i));
        return reply;
    }
    // Both writes echo the register and the word after it (value or count).
    reply.insert(reply.end(), pdu.begin() + 2, pdu.begin() + 6);
    return reply;
}

void PeerConnection::put(const std::uint8_t* bytes, std::size_t count)
{
    if (socket_)
        sysio::send_all(fd_, bytes, count);
    else
        sysio::write_all(fd_, bytes, count);
}

void PeerConnection::send(const Bytes& bytes) { put(bytes.data(), bytes.size()); }

void PeerConnection::send_bytewise(const Bytes& bytes, std::chrono::milliseconds pause)
{
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i != 0)
            std::this_thread::sleep_for(pause);
        put(&bytes[i], 1);
    }
}

ScriptedPeer::ScriptedPeer(PeerFraming framing, Script script)
    : framing_(framing), script_(std::move(script))
{
    if (framing_ == PeerFraming::Serial) {
        open_terminal();
    } else {
        std::uint16_t port = 0;
        listen_fd_ = sysio::listen_on_loopback(4, port);
        port_ = port;
    }
    if (listen_fd_ < 0 || ::pipe2(wake_, O_CLOEXEC) != 0)
        throw std::runtime_error(std::string("scripted peer: ") + std::strerror(errno));
    thread_ = std::thread([this] { serve(); });
}

// The peer keeps the terminal's other side open itself, raw, so that the
// master side reads no end of file between the line's opening and closing.
void ScriptedPeer::open_terminal()
{
    listen_fd_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char path[128];
    if (listen_fd_ < 0 || ::grantpt(listen_fd_) != 0 || ::unlockpt(listen_fd_) != 0 ||
        ::ptsname_r(listen_fd_, path, sizeof path) != 0)
        throw std::runtime_error(std::string("scripted peer: terminal: ") + std::strerror(errno));
    terminal_path_ = path;
    terminal_ = ::open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios raw{};
    if (terminal_ < 0 || ::tcgetattr(terminal_, &raw) != 0)
        throw std::runtime_error(std::string("scripted peer: ") + path + ": " +
                                 std::strerror(errno));
    ::cfmakeraw(&raw);
    ::tcsetattr(terminal_, TCSANOW, &raw);
}

ScriptedPeer::~ScriptedPeer()
{
    stopping_ = true;
    const char byte = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(wake_[1], &byte, 1);
    thread_.join();
    for (int fd : {listen_fd_, terminal_, wake_[0], wake_[1]})
        if (fd >= 0)
            ::close(fd);
}

std::string ScriptedPeer::address() const
{
    if (framing_ == PeerFraming::Serial)
        return terminal_path_;
    return std::string(framing_ == PeerFraming::ModbusTcp ? "tcp://" : "rtu+tcp://") +
           "127.0.0.1:" + std::to_string(port_);
}

bool ScriptedPeer::send_now(const Bytes& bytes)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (framing_ == PeerFraming::Serial)
        return sysio::write_all(current_fd_, bytes.data(), bytes.size()) &&
               wait_until_queued(bytes.size());
    return current_fd_ >= 0 && sysio::send_all(current_fd_, bytes.data(), bytes.size());
}

// A terminal hands what its master side is given to the other side's input
// queue on a kernel worker, a moment later: wait until it is there, so that
// the bytes are what a line finds waiting, not what arrives after it looked.
// The bound is margin for that worker only.
bool ScriptedPeer::wait_until_queued(std::size_t count)
{
    for (int waited_ms = 0; waited_ms < 5000; ++waited_ms) {
        int queued = 0;
        if (::ioctl(terminal_, FIONREAD, &queued) != 0)
            return false;
        if (static_cast<std::size_t>(queued) >= count)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

void ScriptedPeer::close_now()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (current_fd_ >= 0 && framing_ != PeerFraming::Serial)
        ::shutdown(current_fd_, SHUT_RDWR);
}

std::vector<PeerRequest> ScriptedPeer::requests() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

Bytes peer_frame(PeerFraming framing, std::uint16_t transaction, const Bytes& pdu)
{
    if (framing != PeerFraming::ModbusTcp)
        return with_peer_crc(pdu);
    Bytes frame;
    put_word(frame, transaction);
    put_word(frame, 0);
    put_word(frame, static_cast<unsigned>(pdu.size()));
    frame.insert(frame.end(), pdu.begin(), pdu.end());
    return frame;
}

// False at the peer's end, or when the master closed the connection.
bool ScriptedPeer::read_exactly(int fd, std::uint8_t* into, std::size_t count)
{
    std::size_t done = 0;
    while (done < count) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR)
            return false;
        if (stopping_)
            return false;
        if (!(fds[0].revents & (POLLIN | POLLHUP | POLLERR)))
            continue;
        const ssize_t got = ::read(fd, into + done, count - done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        done += static_cast<std::size_t>(got);
    }
    return true;
}

// Takes requests off the connection and answers each by the script; false
// when the peer is stopping.
bool ScriptedPeer::serve_connection(int fd)
{
    for (std::size_t index = requests_.size();; index = requests_.size()) {
        PeerRequest request;
        request.index = index;
        if (framing_ == PeerFraming::ModbusTcp) {
            Bytes header(6);
            if (!read_exactly(fd, header.data(), header.size()))
                return !stopping_;
            request.transaction = word_at(header, 0);
            const std::size_t following = word_at(header, 4);
            request.intact = word_at(header, 2) == 0 && following >= 2 && following <= 254;
            if (!request.intact)
                return !stopping_;
            request.pdu.resize(following);
            if (!read_exactly(fd, request.pdu.data(), following))
                return !stopping_;
        } else {
            // The master asks only for reads and writes, whose length the
            // function code and, for a multiple write, the byte count give.
            Bytes frame(7);
            if (!read_exactly(fd, frame.data(), frame.size()))
                return !stopping_;
            const std::size_t length = frame[1] == 16 ? 9 + std::size_t{frame[6]} : 8;
            frame.resize(length);
            if (!read_exactly(fd, frame.data() + 7, length - 7))
                return !stopping_;
            request.intact = with_peer_crc(Bytes(frame.begin(), frame.end() - 2)) == frame;
            request.pdu.assign(frame.begin(), frame.end() - 2);
        }
        request.arrived = std::chrono::steady_clock::now();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back(request);
        }
        PeerConnection connection(fd, framing_ != PeerFraming::Serial);
        script_(request, connection);
        if (connection.closing())
            return true;
    }
}

void ScriptedPeer::serve()
{
    if (framing_ == PeerFraming::Serial) {
        ++connections_;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            current_fd_ = listen_fd_;
        }
        serve_connection(listen_fd_);
        return;
    }
    while (!stopping_) {
        pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR)
            return;
        if (stopping_)
            return;
        if (!(fds[0].revents & POLLIN))
            continue;
        const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        ++connections_;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            current_fd_ = fd;
        }
        const bool go_on = serve_connection(fd);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            current_fd_ = -1;
        }
        ::close(fd);
        if (!go_on)
            return;
    }
}

}  // namespace e2e
