#include "frame_receiver.h"

#include <algorithm>
#include <cerrno>

#include <unistd.h>

#include "request_framing.h"

namespace metersim {

namespace {

// More than any frame, so a run of garbage is still cut at its silence.
constexpr std::size_t kBufferLimit = 4 * kMaxFrameLength;

}  // namespace

FrameReceiver::FrameReceiver(int fd, std::chrono::nanoseconds end_silence)
    : fd_(fd), end_silence_(end_silence)
{
}

bool FrameReceiver::read_available()
{
    std::uint8_t chunk[kMaxFrameLength];
    const std::size_t room = std::min(kBufferLimit - bytes_.size(), sizeof chunk);
    if (room == 0)
        return true;  // next() empties a full buffer
    ssize_t got;
    do
        got = ::read(fd_, chunk, room);
    while (got < 0 && errno == EINTR);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return true;
    if (got <= 0)
        return false;
    const auto now = std::chrono::steady_clock::now();
    bytes_.insert(bytes_.end(), chunk, chunk + got);
    arrived_.insert(arrived_.end(), static_cast<std::size_t>(got), now);
    return true;
}

std::optional<ReceivedFrame> FrameReceiver::next(std::chrono::steady_clock::time_point now)
{
    if (bytes_.empty())
        return std::nullopt;
    const std::size_t length = request_length(bytes_.data(), bytes_.size());
    const bool known = length != kNeedMoreBytes && length != kEndsAtSilence &&
                       length <= kMaxFrameLength;
    if (known && bytes_.size() >= length)
        return take(length);
    if (now >= arrived_.back() + end_silence_ || bytes_.size() == kBufferLimit)
        return take(bytes_.size());
    return std::nullopt;
}

std::optional<std::chrono::steady_clock::time_point> FrameReceiver::silence_deadline() const
{
    if (arrived_.empty())
        return std::nullopt;
    return arrived_.back() + end_silence_;
}

void FrameReceiver::discard()
{
    bytes_.clear();
    arrived_.clear();
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
