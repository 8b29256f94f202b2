#include "metersim/mbap_frames.h"

namespace metersim {

namespace {

constexpr std::size_t kHeaderBeforeUnit = 6;
constexpr std::size_t kMinFollowing = 2;    // unit identifier and function code
constexpr std::size_t kMaxFollowing = 254;  // a 260-byte frame
constexpr std::size_t kCrcLength = 2;

std::uint16_t word_at(const std::vector<std::uint8_t>& bytes, std::size_t offset)
{
    return static_cast<std::uint16_t>(bytes[offset] << 8 | bytes[offset + 1]);
}

void put_word(Frame& frame, std::size_t word)
{
    frame.push_back(static_cast<std::uint8_t>((word >> 8) & 0xFF));
    frame.push_back(static_cast<std::uint8_t>(word & 0xFF));
}

}  // namespace

MbapTake take_mbap_request(std::vector<std::uint8_t>& buffer, MbapRequest& request)
{
    if (buffer.size() < kHeaderBeforeUnit)
        return MbapTake::NeedMore;
    const std::size_t following = word_at(buffer, 4);
    if (word_at(buffer, 2) != 0 || following < kMinFollowing || following > kMaxFollowing)
        return MbapTake::Broken;
    const std::size_t length = kHeaderBeforeUnit + following;
    if (buffer.size() < length)
        return MbapTake::NeedMore;
    request.transaction = word_at(buffer, 0);
    request.rtu.assign(buffer.begin() + kHeaderBeforeUnit,
                       buffer.begin() + static_cast<long>(length));
    const std::uint16_t crc = crc16(request.rtu.data(), request.rtu.size());
    request.rtu.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    request.rtu.push_back(static_cast<std::uint8_t>(crc >> 8));
    buffer.erase(buffer.begin(), buffer.begin() + static_cast<long>(length));
    return MbapTake::Request;
}

Frame mbap_reply(std::uint16_t transaction, const Frame& rtu_reply)
{
    const std::size_t following = rtu_reply.size() - kCrcLength;
    Frame frame;
    put_word(frame, transaction);
    put_word(frame, 0);
    put_word(frame, following);
    frame.insert(frame.end(), rtu_reply.begin(), rtu_reply.end() - kCrcLength);
    return frame;
}

}  // namespace metersim
