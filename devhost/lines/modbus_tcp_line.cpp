#include "devhost/lines/modbus_tcp_line.h"

#include <algorithm>

namespace devhost {

namespace {

// The header: transaction (2 bytes), protocol 0 (2), length of what follows
// it (2), then the unit identifier, which the length counts.
constexpr std::size_t kLengthField = 4;
constexpr std::size_t kUnit = 6;
constexpr std::size_t kHeaderBeforeUnit = 6;
constexpr std::size_t kMinFollowing = 2;    // unit and function code
constexpr std::size_t kMaxFollowing = 254;  // a 260-byte frame

std::uint16_t word_at(const std::vector<std::uint8_t>& bytes, std::size_t offset)
{
    return static_cast<std::uint16_t>(bytes[offset] << 8 | bytes[offset + 1]);
}

void put_word(std::vector<std::uint8_t>& bytes, std::size_t value)
{
    bytes.push_back(static_cast<std::uint8_t>((value >> 8) & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>(value & 0xFF));
}

std::chrono::nanoseconds since(std::chrono::steady_clock::time_point earlier,
                               std::chrono::steady_clock::time_point later)
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::max(later - earlier, std::chrono::steady_clock::duration::zero()));
}

}  // namespace

ModbusTcpLine::ModbusTcpLine(LineSettings settings, LineAddress address)
    : TcpLine(std::move(settings), std::move(address))
{
}

void ModbusTcpLine::take_in(const std::vector<std::uint8_t>& bytes, Clock::time_point when)
{
    if (bytes.empty())
        return;
    if (unframed_.empty())
        unframed_since_ = when;
    unframed_.insert(unframed_.end(), bytes.begin(), bytes.end());
    last_arrival_ = when;
}

void ModbusTcpLine::notify_received(const std::vector<std::uint8_t>& frame, std::string problem)
{
    if (observed())
        notify({LineFrame::Direction::Received, last_arrival_, frame,
                since(last_frame_end_, unframed_since_), true, std::move(problem)});
}

Exchange ModbusTcpLine::transact(const MeterAddress& meter,
                                 const std::vector<std::uint8_t>& request,
                                 std::vector<std::uint8_t>& reply)
{
    std::vector<std::uint8_t> arrived;
    bool fresh = false;
    Exchange failure;
    if (!prepare_connection(meter, arrived, fresh, failure))
        return failure;
    if (fresh) {
        unframed_.clear();
        last_frame_end_ = Clock::now();
    }
    take_in(arrived, Clock::now());

    const std::uint16_t transaction = ++last_transaction_;
    std::vector<std::uint8_t> frame;
    put_word(frame, transaction);
    put_word(frame, 0);
    put_word(frame, request.size());
    frame.insert(frame.end(), request.begin(), request.end());
    const auto sent = Clock::now();
    const auto deadline = sent + std::chrono::milliseconds(meter.timeout_ms);
    std::string error;
    if (!connection().send(frame, deadline, error))
        return lost(error);
    if (observed())
        notify({LineFrame::Direction::Sent, sent, frame, since(last_frame_end_, sent), true});
    last_frame_end_ = sent;

    for (;;) {
        while (unframed_.size() > kUnit) {
            const std::size_t following = word_at(unframed_, kLengthField);
            if (word_at(unframed_, 2) != 0 || following < kMinFollowing ||
                following > kMaxFollowing) {
                notify_received(unframed_, "not a Modbus TCP frame");
                unframed_.clear();
                connection().close();
                return failed_exchange(ExchangeStatus::BadReply,
                                       "the server sent no Modbus TCP frame; connection closed");
            }
            const std::size_t length = kHeaderBeforeUnit + following;
            if (unframed_.size() < length)
                break;
            const std::vector<std::uint8_t> received(unframed_.begin(),
                                                     unframed_.begin() + static_cast<long>(length));
            const bool answers = word_at(received, 0) == transaction && received[kUnit] == meter.slave;
            notify_received(received, answers ? "" : "for another transaction or unit, discarded");
            unframed_.erase(unframed_.begin(), unframed_.begin() + static_cast<long>(length));
            unframed_since_ = last_arrival_;
            last_frame_end_ = last_arrival_;
            // Anything else is a late reply to an earlier request, or another
            // unit's: never this request's answer.
            if (answers) {
                reply.assign(received.begin() + kUnit, received.end());
                return Exchange{};
            }
        }
        std::vector<std::uint8_t> chunk;
        switch (connection().receive(chunk, deadline, error)) {
        case TcpConnection::Wait::Data:
            take_in(chunk, Clock::now());
            break;
        case TcpConnection::Wait::Deadline:
            if (observed())
                notify({LineFrame::Direction::Timeout, Clock::now(), {}, {}, true});
            return failed_exchange(ExchangeStatus::Timeout, "no reply in time");
        case TcpConnection::Wait::Lost:
            unframed_.clear();
            return lost(error);
        }
    }
}

}  // namespace devhost
