#include "devhost/lines/rtu_over_tcp_line.h"

#include <algorithm>
#include <thread>

#include "modbus/frame_timing.h"
#include "modbus/rtu_crc.h"
#include "modbus/rtu_framing.h"

namespace devhost {

namespace {

// The length of the reply that begins the buffer, 0 while its header is
// still arriving; a function code no request of ours asks for has no known
// length, and whatever came is taken as its frame.
std::size_t reply_length(const std::vector<std::uint8_t>& bytes)
{
    const std::size_t length = modbus::rtu_reply_length(bytes.data(), bytes.size());
    return length == modbus::kEndsAtSilence ? bytes.size() : length;
}

std::chrono::nanoseconds non_negative(std::chrono::steady_clock::duration duration)
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::max(duration, std::chrono::steady_clock::duration::zero()));
}

}  // namespace

void RtuOverTcpLine::sleep_until(Clock::time_point until)
{
    std::this_thread::sleep_until(until);
}

RtuOverTcpLine::RtuOverTcpLine(LineSettings settings, modbus::LineAddress address,
                               WaitUntil wait_until)
    : TcpLine(std::move(settings), std::move(address)),
      silence_(modbus::inter_frame_silence(this->settings().baud, this->settings().parity)),
      wait_until_(wait_until)
{
}

void RtuOverTcpLine::keep_silence() const
{
    const auto ready = last_frame_end_ + silence_;
    if (Clock::now() < ready)
        wait_until_(ready);
}

Exchange RtuOverTcpLine::transact(const MeterAddress& meter,
                                  const std::vector<std::uint8_t>& request,
                                  std::vector<std::uint8_t>& reply)
{
    const LineSettings& line = settings();
    keep_silence();
    std::vector<std::uint8_t> late;  // dropped, as a serial line is flushed
    bool fresh = false;
    Exchange failure;
    if (!prepare_connection(meter, late, fresh, failure))
        return failure;
    if (fresh) {
        last_frame_end_ = Clock::now();
        keep_silence();
    }

    const std::vector<std::uint8_t> frame = modbus::with_rtu_crc(request);
    const auto sent = Clock::now();
    const auto quiet_before_request = sent - last_frame_end_;
    const auto deadline = sent + std::chrono::milliseconds(meter.timeout_ms);
    std::string error;
    if (!connection().send(frame, deadline, error))
        return lost(error);
    // The serial server has put the request on its line by this time.
    const auto request_end = sent + modbus::wire_time(line.baud, line.parity, frame.size());
    last_frame_end_ = request_end;
    if (observed())
        notify({LineFrame::Direction::Sent, sent, frame, non_negative(quiet_before_request), true});

    std::vector<std::uint8_t> received;
    Clock::time_point last_arrival = sent;
    for (;;) {
        const std::size_t length = reply_length(received);
        if (length != 0 && received.size() >= length) {
            const std::vector<std::uint8_t> taken(received.begin(),
                                                  received.begin() + static_cast<long>(length));
            received.erase(received.begin(), received.begin() + static_cast<long>(length));
            last_frame_end_ = std::max(last_frame_end_, last_arrival);
            const bool intact = modbus::rtu_crc_ok(taken.data(), taken.size());
            if (observed()) {
                // The reply began one wire time before its last byte came.
                const auto began =
                    last_arrival - modbus::wire_time(line.baud, line.parity, taken.size());
                std::string problem;
                if (!intact)
                    problem = "bad CRC";
                else if (taken[0] != meter.slave)
                    problem = "reply from slave " + std::to_string(taken[0]);
                notify({LineFrame::Direction::Received, last_arrival, taken,
                        non_negative(began - request_end), intact, std::move(problem)});
            }
            if (!intact)
                return failed_exchange(ExchangeStatus::BadCrc, "reply with a bad CRC");
            if (taken.size() < modbus::kRtuCrcLength + 2)
                return failed_exchange(ExchangeStatus::BadReply, "reply too short");
            if (taken[0] != meter.slave)
                continue;  // another meter's: a late reply, not this request's
            reply.assign(taken.begin(), taken.end() - modbus::kRtuCrcLength);
            return Exchange{};
        }
        // The reply must begin within the timeout, and each part of it
        // follow the one before within the timeout too.
        const auto wait_until = received.empty()
                                    ? deadline
                                    : last_arrival + std::chrono::milliseconds(meter.timeout_ms);
        switch (connection().receive(received, wait_until, error)) {
        case TcpConnection::Wait::Data:
            last_arrival = Clock::now();
            break;
        case TcpConnection::Wait::Deadline:
            if (observed())
                notify(received.empty()
                           ? LineFrame{LineFrame::Direction::Timeout, Clock::now(), {}, {}, true}
                           : LineFrame{LineFrame::Direction::Received, last_arrival, received,
                                       {}, false, "a reply began and was cut short"});
            if (!received.empty())
                last_frame_end_ = std::max(last_frame_end_, last_arrival);
            return failed_exchange(ExchangeStatus::Timeout,
                                   received.empty() ? "no reply in time"
                                                    : "reply incomplete after " +
                                                          std::to_string(received.size()) +
                                                          " bytes");
        case TcpConnection::Wait::Lost:
            return lost(error);
        }
    }
}

}  // namespace devhost
