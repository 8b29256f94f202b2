#include "serial_line.h"

#include <algorithm>
#include <cerrno>
#include <thread>

#include <modbus.h>
#include <unistd.h>

#include "frame_silence.h"
#include "rtu_crc.h"

namespace devhost {

namespace {

using Clock = std::chrono::steady_clock;

ExchangeStatus status_of_errno(int error)
{
    switch (error) {
    case ETIMEDOUT: return ExchangeStatus::Timeout;
    case EMBBADCRC: return ExchangeStatus::BadCrc;
    case EMBBADDATA:
    case EMBBADEXC:
    case EMBUNKEXC:
    case EMBMDATA:
    case EMBBADSLAVE: return ExchangeStatus::BadReply;
    default: return ExchangeStatus::LineDown;
    }
}

constexpr std::size_t kCrcLength = 2;

}  // namespace

SerialLine::SerialLine(LineSettings settings)
    : Line(std::move(settings)),
      silence_(inter_frame_silence(this->settings().baud, this->settings().parity))
{
}

SerialLine::~SerialLine() { close(); }

bool SerialLine::open(std::string& error)
{
    if (modbus_ != nullptr)
        return true;
    const LineSettings& line = settings();
    modbus_t* context = modbus_new_rtu(line.port.c_str(), line.baud, line.parity, 8, 1);
    if (context == nullptr) {
        error = modbus_strerror(errno);
        return false;
    }
    if (modbus_connect(context) != 0) {
        error = modbus_strerror(errno);
        modbus_free(context);
        return false;
    }
    modbus_ = context;
    last_frame_end_ = Clock::now();
    return true;
}

void SerialLine::close()
{
    if (modbus_ == nullptr)
        return;
    modbus_close(modbus_);
    modbus_free(modbus_);
    modbus_ = nullptr;
}

bool SerialLine::vanished() const { return ::access(settings().port.c_str(), F_OK) != 0; }

void SerialLine::keep_silence() const
{
    // Only the remainder: a line that has been quiet long enough is used at once.
    const auto ready = last_frame_end_ + silence_;
    if (Clock::now() < ready)
        std::this_thread::sleep_until(ready);
}

Exchange SerialLine::transact(const MeterAddress& meter, const std::vector<std::uint8_t>& request,
                              std::vector<std::uint8_t>& reply)
{
    if (modbus_ == nullptr)
        return failed_exchange(ExchangeStatus::LineDown, "port not open");
    const LineSettings& line = settings();
    // libmodbus takes a reply only from the slave its context names.
    modbus_set_slave(modbus_, meter.slave);
    modbus_set_response_timeout(modbus_, static_cast<std::uint32_t>(meter.timeout_ms / 1000),
                                static_cast<std::uint32_t>(meter.timeout_ms % 1000) * 1000);
    keep_silence();
    modbus_flush(modbus_);
    const auto sent = Clock::now();
    const auto quiet_before_request = sent - last_frame_end_;
    const int sent_length =
        modbus_send_raw_request(modbus_, request.data(), static_cast<int>(request.size()));
    const auto request_wire_time = wire_time(line.baud, line.parity, request.size() + kCrcLength);
    // The request has left the line by now, or will have by this time.
    const auto request_end = sent + request_wire_time;
    last_frame_end_ = request_end;
    if (sent_length < 0)
        return failed_exchange(status_of_errno(errno), modbus_strerror(errno));
    if (observed())
        notify({LineFrame::Direction::Sent, sent, with_rtu_crc(request),
                std::chrono::duration_cast<std::chrono::nanoseconds>(quiet_before_request), true});

    reply.assign(MODBUS_RTU_MAX_ADU_LENGTH, 0);
    const int length = modbus_receive_confirmation(modbus_, reply.data());
    const int receive_error = errno;
    const auto received = Clock::now();
    if (length >= 0 || receive_error != ETIMEDOUT)
        last_frame_end_ = std::max(last_frame_end_, received);
    if (length < 0 && receive_error == ETIMEDOUT && observed())
        notify({LineFrame::Direction::Timeout, received, {}, {}, true});
    if (length < 0)
        return failed_exchange(status_of_errno(receive_error), modbus_strerror(receive_error));
    if (length == 0)
        return failed_exchange(ExchangeStatus::BadReply, "reply from another slave");
    reply.resize(static_cast<std::size_t>(length));
    if (observed()) {
        // The reply began one wire time before its last byte was read.
        const auto began = received - wire_time(line.baud, line.parity, reply.size());
        notify({LineFrame::Direction::Received, received, reply,
                std::chrono::duration_cast<std::chrono::nanoseconds>(
                    std::max(began - request_end, Clock::duration::zero())),
                rtu_crc_ok(reply.data(), reply.size())});
    }
    if (reply.size() < kCrcLength)
        return failed_exchange(ExchangeStatus::BadReply, "reply too short");
    reply.resize(reply.size() - kCrcLength);
    return Exchange{};
}

}  // namespace devhost
