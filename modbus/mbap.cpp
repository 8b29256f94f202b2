#include "modbus/mbap.h"

#include "modbus/words.h"

namespace modbus {

namespace {

constexpr std::size_t kProtocolField = 2;
constexpr std::size_t kLengthField = 4;

}  // namespace

std::vector<std::uint8_t> mbap_frame(std::uint16_t transaction,
                                     const std::vector<std::uint8_t>& body)
{
    std::vector<std::uint8_t> frame;
    frame.reserve(kMbapBeforeUnit + body.size());
    put_word(frame, transaction);
    put_word(frame, 0);
    put_word(frame, static_cast<std::uint16_t>(body.size()));
    frame.insert(frame.end(), body.begin(), body.end());
    return frame;
}

MbapTake take_mbap_frame(std::vector<std::uint8_t>& stream, std::vector<std::uint8_t>& frame)
{
    if (stream.size() < kMbapBeforeUnit)
        return MbapTake::NeedMore;
    const std::size_t following = word_at(stream, kLengthField);
    if (word_at(stream, kProtocolField) != 0 || following < kMbapMinFollowing ||
        following > kMbapMaxFollowing)
        return MbapTake::Broken;
    const std::size_t length = kMbapBeforeUnit + following;
    if (stream.size() < length)
        return MbapTake::NeedMore;
    const auto end = stream.begin() + static_cast<long>(length);
    frame.assign(stream.begin(), end);
    stream.erase(stream.begin(), end);
    return MbapTake::Frame;
}

std::uint16_t mbap_transaction(const std::vector<std::uint8_t>& frame)
{
    return word_at(frame, 0);
}

std::vector<std::uint8_t> mbap_body(const std::vector<std::uint8_t>& frame)
{
    return {frame.begin() + kMbapBeforeUnit, frame.end()};
}

}  // namespace modbus
