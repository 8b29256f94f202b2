#include "rtu_line.h"

#include <algorithm>
#include <cerrno>
#include <thread>

#include <modbus.h>

#include "frame_silence.h"

namespace devhost {

namespace {

void put_word(std::vector<std::uint8_t>& bytes, int word)
{
    bytes.push_back(static_cast<std::uint8_t>((word >> 8) & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>(word & 0xFF));
}

std::uint16_t word_at(const std::vector<std::uint8_t>& bytes, std::size_t offset)
{
    return static_cast<std::uint16_t>(bytes[offset] << 8 | bytes[offset + 1]);
}

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

Exchange failed(ExchangeStatus status, std::string error)
{
    Exchange result;
    result.status = status;
    result.error = std::move(error);
    return result;
}

// Reply frame offsets: slave address, function, then the data; CRC last.
constexpr std::size_t kFunction = 1;
constexpr std::size_t kData = 2;
constexpr std::size_t kCrcLength = 2;

}  // namespace

const char* status_name(ExchangeStatus status)
{
    switch (status) {
    case ExchangeStatus::Ok: return "ok";
    case ExchangeStatus::Timeout: return "timeout";
    case ExchangeStatus::BadCrc: return "bad CRC";
    case ExchangeStatus::Exception: return "exception";
    case ExchangeStatus::BadReply: return "bad reply";
    case ExchangeStatus::LineDown: return "line down";
    }
    return "?";
}

RtuLine::RtuLine(LineSettings settings)
    : settings_(std::move(settings)),
      silence_(inter_frame_silence(settings_.baud, settings_.parity))
{
}

RtuLine::~RtuLine() { close(); }

bool RtuLine::open(std::string& error)
{
    if (modbus_ != nullptr)
        return true;
    modbus_t* context = modbus_new_rtu(settings_.port.c_str(), settings_.baud, settings_.parity,
                                       8, 1);
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
    // The opening ends a frame: a meter listening cannot know what the line
    // carried before, and a transceiver switching on can put a glitch on it.
    last_frame_end_ = std::chrono::steady_clock::now();
    return true;
}

void RtuLine::close()
{
    if (modbus_ == nullptr)
        return;
    modbus_close(modbus_);
    modbus_free(modbus_);
    modbus_ = nullptr;
}

void RtuLine::keep_silence() const
{
    // Only the remainder: a line that has been quiet long enough is used at once.
    const auto ready = last_frame_end_ + silence_;
    if (std::chrono::steady_clock::now() < ready)
        std::this_thread::sleep_until(ready);
}

Exchange RtuLine::transact(const MeterAddress& meter, const std::vector<std::uint8_t>& request,
                           std::vector<std::uint8_t>& reply)
{
    if (modbus_ == nullptr)
        return failed(ExchangeStatus::LineDown, "port not open");
    // libmodbus takes a reply only from the slave its context names.
    modbus_set_slave(modbus_, meter.slave);
    modbus_set_response_timeout(modbus_, static_cast<std::uint32_t>(meter.timeout_ms / 1000),
                                static_cast<std::uint32_t>(meter.timeout_ms % 1000) * 1000);
    keep_silence();
    modbus_flush(modbus_);
    const auto sent = std::chrono::steady_clock::now();
    const int sent_length =
        modbus_send_raw_request(modbus_, request.data(), static_cast<int>(request.size()));
    // The request has left the line by now, or will have by this time.
    last_frame_end_ = sent + wire_time(settings_.baud, settings_.parity, request.size());
    if (sent_length < 0)
        return failed(status_of_errno(errno), modbus_strerror(errno));
    reply.assign(MODBUS_RTU_MAX_ADU_LENGTH, 0);
    const int length = modbus_receive_confirmation(modbus_, reply.data());
    const int receive_error = errno;
    if (length >= 0 || receive_error != ETIMEDOUT)
        last_frame_end_ = std::max(last_frame_end_, std::chrono::steady_clock::now());
    if (length < 0)
        return failed(status_of_errno(receive_error), modbus_strerror(receive_error));
    if (length == 0)
        return failed(ExchangeStatus::BadReply, "reply from another slave");
    reply.resize(static_cast<std::size_t>(length));
    if (reply.size() < kData + 1 + kCrcLength)
        return failed(ExchangeStatus::BadReply, "reply too short");
    const std::uint8_t function = request[kFunction];
    if (reply[kFunction] == (function | 0x80))
        return failed(ExchangeStatus::Exception,
                      "exception " + std::to_string(reply[kData]) + " from the meter");
    if (reply[kFunction] != function)
        return failed(ExchangeStatus::BadReply,
                      "reply to function " + std::to_string(reply[kFunction]));
    return Exchange{};
}

Exchange RtuLine::read_registers(const MeterAddress& meter, int address, int count)
{
    std::vector<std::uint8_t> request{static_cast<std::uint8_t>(meter.slave), 3};
    put_word(request, address);
    put_word(request, count);
    std::vector<std::uint8_t> reply;
    Exchange result = transact(meter, request, reply);
    if (result.status != ExchangeStatus::Ok)
        return result;
    const std::size_t byte_count = reply[kData];
    if (byte_count != static_cast<std::size_t>(count) * 2 ||
        reply.size() != kData + 1 + byte_count + kCrcLength)
        return failed(ExchangeStatus::BadReply,
                      std::to_string(byte_count) + " data bytes for " + std::to_string(count) +
                          " registers");
    for (int i = 0; i < count; ++i)
        result.registers.push_back(word_at(reply, kData + 1 + 2 * static_cast<std::size_t>(i)));
    return result;
}

namespace {

// A write reply echoes the address and one word (the value or the count).
Exchange echo_of(Exchange result, const std::vector<std::uint8_t>& reply, int address)
{
    if (result.status != ExchangeStatus::Ok)
        return result;
    if (reply.size() != kData + 4 + kCrcLength)
        return failed(ExchangeStatus::BadReply, "write reply of " + std::to_string(reply.size()) +
                                                    " bytes");
    if (word_at(reply, kData) != address)
        return failed(ExchangeStatus::BadReply,
                      "write reply names register " + std::to_string(word_at(reply, kData)));
    result.echo = word_at(reply, kData + 2);
    return result;
}

}  // namespace

Exchange RtuLine::write_register(const MeterAddress& meter, int address, std::uint16_t value)
{
    std::vector<std::uint8_t> request{static_cast<std::uint8_t>(meter.slave), 6};
    put_word(request, address);
    put_word(request, value);
    std::vector<std::uint8_t> reply;
    Exchange result = transact(meter, request, reply);
    return echo_of(std::move(result), reply, address);
}

Exchange RtuLine::write_registers(const MeterAddress& meter, int address,
                                  const std::vector<std::uint16_t>& values)
{
    std::vector<std::uint8_t> request{static_cast<std::uint8_t>(meter.slave), 16};
    put_word(request, address);
    put_word(request, static_cast<int>(values.size()));
    request.push_back(static_cast<std::uint8_t>(values.size() * 2));
    for (std::uint16_t value : values)
        put_word(request, value);
    std::vector<std::uint8_t> reply;
    Exchange result = transact(meter, request, reply);
    return echo_of(std::move(result), reply, address);
}

}  // namespace devhost
