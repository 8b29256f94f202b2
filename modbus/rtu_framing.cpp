#include "modbus/rtu_framing.h"

#include "modbus/protocol.h"
#include "modbus/rtu_crc.h"

namespace modbus {

namespace {

// A frame whose length follows from its function code: a fixed length, or
// a header of header_length bytes whose last byte counts the data after it
// (and the CRC after that).
struct FrameShape {
    std::uint8_t function;
    std::size_t fixed_length;   // 0 when counted
    std::size_t header_length;  // through the byte count
};

constexpr FrameShape kRequestShapes[] = {
    {1, 8, 0},   // read coils
    {2, 8, 0},   // read discrete inputs
    {3, 8, 0},   // read holding registers
    {4, 8, 0},   // read input registers
    {5, 8, 0},   // write single coil
    {6, 8, 0},   // write single register
    {15, 0, 7},  // write multiple coils: address, function, address, quantity, byte count
    {16, 0, 7},  // write multiple registers
};

constexpr FrameShape kReplyShapes[] = {
    {kReadHoldingRegisters, 0, 3},    // address, function, byte count
    {kWriteSingleRegister, 8, 0},     // address, function, register, value, CRC
    {kWriteMultipleRegisters, 8, 0},  // address, function, register, count, CRC
};
constexpr std::size_t kExceptionLength = 5;  // address, function | 0x80, code, CRC

template <std::size_t N>
std::size_t shaped_length(const FrameShape (&shapes)[N], const std::uint8_t* bytes,
                          std::size_t available)
{
    for (const FrameShape& shape : shapes) {
        if (shape.function != bytes[1])
            continue;
        if (shape.fixed_length != 0)
            return shape.fixed_length;
        if (available < shape.header_length)
            return kNeedMoreBytes;
        return shape.header_length + bytes[shape.header_length - 1] + kRtuCrcLength;
    }
    return kEndsAtSilence;
}

}  // namespace

std::size_t rtu_request_length(const std::uint8_t* bytes, std::size_t available)
{
    if (available < 2)
        return kNeedMoreBytes;
    return shaped_length(kRequestShapes, bytes, available);
}

std::size_t rtu_reply_length(const std::uint8_t* bytes, std::size_t available)
{
    if (available < 2)
        return kNeedMoreBytes;
    if (bytes[1] & kExceptionFlag)
        return kExceptionLength;
    return shaped_length(kReplyShapes, bytes, available);
}

}  // namespace modbus
