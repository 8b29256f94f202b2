#include "devhost/lines/serial_line.h"

#include <algorithm>
#include <cerrno>
#include <thread>

#include <modbus.h>
#include <unistd.h>

#include "modbus/frame_timing.h"
#include "modbus/rtu_crc.h"

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

// The length of a reply as its header declares it, which is how far
// libmodbus reads one: the address, the function code, what follows the
// function (a byte count, or the fixed fields of a write's echo), the data
// the byte count announces, the checksum. An exception reply or an unknown
// function has one byte after the function code.
std::size_t declared_reply_length(const std::vector<std::uint8_t>& reply)
{
    const std::uint8_t function = reply[1];
    std::size_t length = 0;
    switch (function) {
    case MODBUS_FC_READ_COILS:
    case MODBUS_FC_READ_DISCRETE_INPUTS:
    case MODBUS_FC_READ_HOLDING_REGISTERS:
    case MODBUS_FC_READ_INPUT_REGISTERS:
    case MODBUS_FC_REPORT_SLAVE_ID:
    case MODBUS_FC_WRITE_AND_READ_REGISTERS: length = 3 + std::size_t{reply[2]}; break;
    case MODBUS_FC_WRITE_SINGLE_COIL:
    case MODBUS_FC_WRITE_SINGLE_REGISTER:
    case MODBUS_FC_WRITE_MULTIPLE_COILS:
    case MODBUS_FC_WRITE_MULTIPLE_REGISTERS: length = 6; break;
    case MODBUS_FC_MASK_WRITE_REGISTER: length = 8; break;
    default: length = 3; break;
    }
    return std::min(length + modbus::kRtuCrcLength, reply.size());
}

// The reply bytes libmodbus left in the buffer, and what was wrong with
// them. A reply it returns, and one it refuses after reading it whole (a bad
// checksum; another slave's, returned as length 0), are there as far as
// their header declares; of a reply announcing more data than a frame holds
// only the header (address, function, byte count) was read. A reply cut
// short ends in a timeout that does not say how many bytes came.
struct ReplySeen {
    std::size_t length = 0;
    std::string problem;
};

ReplySeen reply_seen(int length, int error, const std::vector<std::uint8_t>& buffer)
{
    if (length > 0)
        return {static_cast<std::size_t>(length), ""};
    if (length == 0)
        return {declared_reply_length(buffer),
                "reply from slave " + std::to_string(buffer[0])};
    if (error == EMBBADCRC)
        return {declared_reply_length(buffer), "bad CRC"};
    if (error == EMBBADDATA)
        return {3, "announces more data than a frame holds"};
    return {};
}

}  // namespace

SerialLine::SerialLine(LineSettings settings)
    : Line(std::move(settings)),
      silence_(modbus::inter_frame_silence(this->settings().baud, this->settings().parity))
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
    const auto request_wire_time =
        modbus::wire_time(line.baud, line.parity, request.size() + modbus::kRtuCrcLength);
    // The request has left the line by now, or will have by this time.
    const auto request_end = sent + request_wire_time;
    last_frame_end_ = request_end;
    if (sent_length < 0)
        return failed_exchange(status_of_errno(errno), modbus_strerror(errno));
    if (observed()) {
        LineFrame frame;
        frame.direction = LineFrame::Direction::Sent;
        frame.time = sent;
        frame.bytes = modbus::with_rtu_crc(request);
        frame.silence_before = quiet_before_request;
        notify(std::move(frame));
    }

    // Zeroed, so that a first byte read shows (no reply starts with address 0).
    reply.assign(MODBUS_RTU_MAX_ADU_LENGTH, 0);
    const int length = modbus_receive_confirmation(modbus_, reply.data());
    const int receive_error = errno;
    const auto received = Clock::now();
    const bool timed_out = length < 0 && receive_error == ETIMEDOUT;
    if (!timed_out)
        last_frame_end_ = std::max(last_frame_end_, received);
    if (observed()) {
        LineFrame frame;
        frame.time = received;
        const ReplySeen seen = reply_seen(length, receive_error, reply);
        if (timed_out) {
            frame.direction = LineFrame::Direction::Timeout;
            if (reply[0] != 0)
                frame.problem = "a reply began and was cut short";
            notify(std::move(frame));
        } else if (seen.length > 0) {
            frame.direction = LineFrame::Direction::Received;
            frame.bytes.assign(reply.begin(), reply.begin() + static_cast<long>(seen.length));
            // The reply began one wire time before its last byte was read.
            const auto began =
                received - modbus::wire_time(line.baud, line.parity, seen.length);
            frame.silence_before = std::chrono::duration_cast<std::chrono::nanoseconds>(
                std::max(began - request_end, Clock::duration::zero()));
            frame.intact = modbus::rtu_crc_ok(frame.bytes.data(), frame.bytes.size());
            frame.problem = seen.problem;
            notify(std::move(frame));
        }
    }
    if (length < 0)
        return failed_exchange(status_of_errno(receive_error), modbus_strerror(receive_error));
    if (length == 0)
        return failed_exchange(ExchangeStatus::BadReply, "reply from another slave");
    reply.resize(static_cast<std::size_t>(length));
    if (reply.size() < modbus::kRtuCrcLength)
        return failed_exchange(ExchangeStatus::BadReply, "reply too short");
    reply.resize(reply.size() - modbus::kRtuCrcLength);
    return Exchange{};
}

}  // namespace devhost
