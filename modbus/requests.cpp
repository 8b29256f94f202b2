#include "modbus/requests.h"

#include "modbus/protocol.h"
#include "modbus/words.h"

namespace modbus {

namespace {

std::vector<std::uint8_t> request_head(int slave, std::uint8_t function, int address)
{
    std::vector<std::uint8_t> request{static_cast<std::uint8_t>(slave), function};
    put_word(request, static_cast<std::uint16_t>(address));
    return request;
}

// A read or a single write: address, function, two words.
constexpr std::size_t kFixedLength = 6;
// A multiple write before its values: address, function, two words, byte count.
constexpr std::size_t kMultipleHead = 7;

}  // namespace

std::vector<std::uint8_t> read_registers_request(int slave, int address, int count)
{
    std::vector<std::uint8_t> request = request_head(slave, kReadHoldingRegisters, address);
    put_word(request, static_cast<std::uint16_t>(count));
    return request;
}

std::vector<std::uint8_t> write_register_request(int slave, int address, std::uint16_t value)
{
    std::vector<std::uint8_t> request = request_head(slave, kWriteSingleRegister, address);
    put_word(request, value);
    return request;
}

std::vector<std::uint8_t> write_registers_request(int slave, int address,
                                                  const std::vector<std::uint16_t>& values)
{
    std::vector<std::uint8_t> request = request_head(slave, kWriteMultipleRegisters, address);
    put_word(request, static_cast<std::uint16_t>(values.size()));
    request.push_back(static_cast<std::uint8_t>(values.size() * 2));
    for (std::uint16_t value : values)
        put_word(request, value);
    return request;
}

RequestShape parse_request(const std::uint8_t* bytes, std::size_t length, Request& request)
{
    request = Request{};
    request.slave = bytes[0];
    request.function = bytes[1];
    if (length < kFixedLength)
        return RequestShape::Unsupported;
    request.address = word_at(bytes + 2);
    const std::uint16_t operand = word_at(bytes + 4);
    switch (request.function) {
    case kReadHoldingRegisters:
        if (length != kFixedLength)
            return RequestShape::Unsupported;
        request.count = operand;
        return RequestShape::Read;
    case kWriteSingleRegister:
        if (length != kFixedLength)
            return RequestShape::Unsupported;
        request.count = 1;
        request.values = {operand};
        return RequestShape::WriteSingle;
    case kWriteMultipleRegisters: {
        if (length < kMultipleHead)
            return RequestShape::Unsupported;
        request.count = operand;
        const std::size_t byte_count = bytes[6];
        if (byte_count != 2 * std::size_t{operand} || length != kMultipleHead + byte_count)
            return RequestShape::BadByteCount;
        for (std::size_t i = 0; i < operand; ++i)
            request.values.push_back(word_at(bytes + kMultipleHead + 2 * i));
        return RequestShape::WriteMultiple;
    }
    default:
        return RequestShape::Unsupported;
    }
}

}  // namespace modbus
