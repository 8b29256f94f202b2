#include "devhost/lines/modbus_tcp_line.h"

#include <algorithm>

#include "modbus/mbap.h"

namespace devhost {

namespace {

std::chrono::nanoseconds since(std::chrono::steady_clock::time_point earlier,
                               std::chrono::steady_clock::time_point later)
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::max(later - earlier, std::chrono::steady_clock::duration::zero()));
}

}  // namespace

ModbusTcpLine::ModbusTcpLine(LineSettings settings, modbus::LineAddress address)
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
    const std::vector<std::uint8_t> frame = modbus::mbap_frame(transaction, request);
    const auto sent = Clock::now();
    const auto deadline = sent + std::chrono::milliseconds(meter.timeout_ms);
    std::string error;
    if (!connection().send(frame, deadline, error))
        return lost(error);
    if (observed())
        notify({LineFrame::Direction::Sent, sent, frame, since(last_frame_end_, sent), true});
    last_frame_end_ = sent;

    for (;;) {
        // A header is judged once the unit identifier after it has come.
        while (unframed_.size() > modbus::kMbapBeforeUnit) {
            std::vector<std::uint8_t> received;
            const modbus::MbapTake taken = modbus::take_mbap_frame(unframed_, received);
            if (taken == modbus::MbapTake::Broken) {
                notify_received(unframed_, "not a Modbus TCP frame");
                unframed_.clear();
                connection().close();
                return failed_exchange(ExchangeStatus::BadReply,
                                       "the server sent no Modbus TCP frame; connection closed");
            }
            if (taken == modbus::MbapTake::NeedMore)
                break;
            std::vector<std::uint8_t> body = modbus::mbap_body(received);
            const bool answers =
                modbus::mbap_transaction(received) == transaction && body[0] == meter.slave;
            notify_received(received, answers ? "" : "for another transaction or unit, discarded");
            unframed_since_ = last_arrival_;
            last_frame_end_ = last_arrival_;
            // Anything else is a late reply to an earlier request, or another
            // unit's: never this request's answer.
            if (answers) {
                reply = std::move(body);
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
