#include "devhost/lines/line.h"

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

// Offsets in a request or reply: the meter's address, the function code,
// then the data.
constexpr std::size_t kFunction = 1;
constexpr std::size_t kData = 2;

std::vector<std::uint8_t> request_head(const MeterAddress& meter, std::uint8_t function,
                                       int address)
{
    std::vector<std::uint8_t> request{static_cast<std::uint8_t>(meter.slave), function};
    put_word(request, address);
    return request;
}

// A write reply echoes the address and one word (the value or the count).
Exchange echo_of(Exchange result, const std::vector<std::uint8_t>& reply, int address)
{
    if (result.status != ExchangeStatus::Ok)
        return result;
    if (reply.size() != kData + 4)
        return failed_exchange(ExchangeStatus::BadReply,
                               "write reply of " + std::to_string(reply.size()) + " bytes");
    if (word_at(reply, kData) != address)
        return failed_exchange(ExchangeStatus::BadReply, "write reply names register " +
                                                             std::to_string(word_at(reply, kData)));
    result.echo = word_at(reply, kData + 2);
    return result;
}

}  // namespace

Exchange failed_exchange(ExchangeStatus status, std::string error)
{
    Exchange result;
    result.status = status;
    result.error = std::move(error);
    return result;
}

const char* status_name(ExchangeStatus status)
{
    switch (status) {
    case ExchangeStatus::Ok: return "ok";
    case ExchangeStatus::Timeout: return "timeout";
    case ExchangeStatus::BadCrc: return "bad CRC";
    case ExchangeStatus::Exception: return "exception";
    case ExchangeStatus::BadReply: return "bad reply";
    case ExchangeStatus::LineDown: return "line down";
    case ExchangeStatus::NoConnection: return "no connection";
    }
    return "?";
}

Exchange Line::exchange(const MeterAddress& meter, const std::vector<std::uint8_t>& request,
                        std::vector<std::uint8_t>& reply)
{
    exchanging_with_ = meter.slave;
    Exchange result = transact(meter, request, reply);
    if (result.status != ExchangeStatus::Ok)
        return result;
    if (reply.size() < kData + 1)
        return failed_exchange(ExchangeStatus::BadReply, "reply too short");
    const std::uint8_t function = request[kFunction];
    if (reply[kFunction] == (function | 0x80))
        return failed_exchange(ExchangeStatus::Exception,
                               "exception " + std::to_string(reply[kData]) + " from the meter");
    if (reply[kFunction] != function)
        return failed_exchange(ExchangeStatus::BadReply,
                               "reply to function " + std::to_string(reply[kFunction]));
    return result;
}

Exchange Line::read_registers(const MeterAddress& meter, int address, int count)
{
    std::vector<std::uint8_t> request = request_head(meter, 3, address);
    put_word(request, count);
    std::vector<std::uint8_t> reply;
    Exchange result = exchange(meter, request, reply);
    if (result.status != ExchangeStatus::Ok)
        return result;
    const std::size_t byte_count = reply[kData];
    if (byte_count != static_cast<std::size_t>(count) * 2 ||
        reply.size() != kData + 1 + byte_count)
        return failed_exchange(ExchangeStatus::BadReply,
                               std::to_string(byte_count) + " data bytes for " +
                                   std::to_string(count) + " registers");
    for (int i = 0; i < count; ++i)
        result.registers.push_back(word_at(reply, kData + 1 + 2 * static_cast<std::size_t>(i)));
    return result;
}

Exchange Line::write_register(const MeterAddress& meter, int address, std::uint16_t value)
{
    std::vector<std::uint8_t> request = request_head(meter, 6, address);
    put_word(request, value);
    std::vector<std::uint8_t> reply;
    Exchange result = exchange(meter, request, reply);
    return echo_of(std::move(result), reply, address);
}

Exchange Line::write_registers(const MeterAddress& meter, int address,
                               const std::vector<std::uint16_t>& values)
{
    std::vector<std::uint8_t> request = request_head(meter, 16, address);
    put_word(request, static_cast<int>(values.size()));
    request.push_back(static_cast<std::uint8_t>(values.size() * 2));
    for (std::uint16_t value : values)
        put_word(request, value);
    std::vector<std::uint8_t> reply;
    Exchange result = exchange(meter, request, reply);
    return echo_of(std::move(result), reply, address);
}

}  // namespace devhost
