#include "metersim/frame_receiver.h"

#include <algorithm>
#include <cerrno>

#include <unistd.h>

#include "metersim/terminal_watch.h"
#include "modbus/protocol.h"
#include "modbus/rtu_framing.h"

namespace metersim {

namespace {

// More than any frame, so a run of garbage is still cut at its silence.
constexpr std::size_t kBufferLimit = 4 * modbus::kMaxRtuFrameLength;

}  // namespace

FrameReceiver::FrameReceiver(int fd, std::chrono::nanoseconds end_silence, bool watched)
    : fd_(fd), end_silence_(end_silence), watched_(watched)
{
}

bool FrameReceiver::read_available()
{
    // On a watched terminal every read begins with a status byte.
    const std::size_t header = watched_ ? 1 : 0;
    std::uint8_t chunk[1 + modbus::kMaxRtuFrameLength];
    const std::size_t room = std::min(kBufferLimit - bytes_.size(), modbus::kMaxRtuFrameLength);
    if (room == 0)
        return true;  // next() empties a full buffer
    ssize_t got;
    do
        got = ::read(fd_, chunk, header + room);
    while (got < 0 && errno == EINTR);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return true;
    if (got <= 0)
        return false;
    const auto now = std::chrono::steady_clock::now();
    if (watched_ && !packet_carries_data(chunk[0])) {
        if (!status_reports_setup(chunk[0]))
            return true;
        const int baud = rewatch_terminal_settings(fd_);
        if (baud < 0)
            return false;
        add_setup(now, baud);
        return true;
    }
    const auto data = chunk + header;
    const auto length = static_cast<std::size_t>(got) - header;
    bytes_.insert(bytes_.end(), data, data + length);
    arrived_.insert(arrived_.end(), length, now);
    return true;
}

void FrameReceiver::add_setup(std::chrono::steady_clock::time_point seen, int baud)
{
    // Nothing buffered can be continued after it.
    if (!bytes_.empty())
        ready_.emplace_back(take(bytes_.size()));
    ready_.emplace_back(TerminalSetUp{seen, baud});
}

std::optional<LineEvent> FrameReceiver::next(std::chrono::steady_clock::time_point now)
{
    if (!ready_.empty()) {
        if (const auto* setup = std::get_if<TerminalSetUp>(&ready_.front())) {
            const TerminalSetUp event = *setup;
            ready_.pop_front();
            return event;
        }
        ReceivedFrame frame = std::get<ReceivedFrame>(std::move(ready_.front()));
        ready_.pop_front();
        return frame;
    }
    if (bytes_.empty())
        return std::nullopt;
    const std::size_t length = modbus::rtu_request_length(bytes_.data(), bytes_.size());
    const bool known = length != modbus::kNeedMoreBytes && length != modbus::kEndsAtSilence &&
                       length <= modbus::kMaxRtuFrameLength;
    if (known && bytes_.size() >= length)
        return take(length);
    if (now >= arrived_.back() + end_silence_ || bytes_.size() == kBufferLimit)
        return take(bytes_.size());
    return std::nullopt;
}

std::optional<std::chrono::steady_clock::time_point> FrameReceiver::silence_deadline() const
{
    if (!ready_.empty())
        return std::chrono::steady_clock::time_point{};  // due now
    if (arrived_.empty())
        return std::nullopt;
    return arrived_.back() + end_silence_;
}

void FrameReceiver::discard()
{
    while (!ready_.empty() && std::holds_alternative<ReceivedFrame>(ready_.front()))
        ready_.pop_front();
    if (ready_.empty()) {
        bytes_.clear();
        arrived_.clear();
    }
}

ReceivedFrame FrameReceiver::take(std::size_t length)
{
    ReceivedFrame frame;
    frame.bytes.assign(bytes_.begin(), bytes_.begin() + static_cast<long>(length));
    frame.first_byte = arrived_.front();
    frame.last_byte = arrived_[length - 1];
    bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<long>(length));
    arrived_.erase(arrived_.begin(), arrived_.begin() + static_cast<long>(length));
    return frame;
}

}  // namespace metersim
