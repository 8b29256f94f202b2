#include "metersim/request_framing.h"

#include "metersim/rtu_frame.h"

namespace metersim {

namespace {

// Requests whose length follows from the function code: a fixed length, or
// a header of header_length bytes whose last byte counts the data after it.
struct RequestShape {
    std::uint8_t function;
    std::size_t fixed_length;   // 0 when counted
    std::size_t header_length;  // address, function, address, quantity, byte count
};

constexpr std::size_t kCrcLength = 2;

constexpr RequestShape kRequestShapes[] = {
    {1, 8, 0},   // read coils
    {2, 8, 0},   // read discrete inputs
    {3, 8, 0},   // read holding registers
    {4, 8, 0},   // read input registers
    {5, 8, 0},   // write single coil
    {6, 8, 0},   // write single register
    {15, 0, 7},  // write multiple coils
    {16, 0, 7},  // write multiple registers
};

}  // namespace

std::size_t request_length(const std::uint8_t* bytes, std::size_t available)
{
    if (available < 2)
        return kNeedMoreBytes;
    for (const RequestShape& shape : kRequestShapes) {
        if (shape.function != bytes[1])
            continue;
        if (shape.fixed_length != 0)
            return shape.fixed_length;
        if (available < shape.header_length)
            return kNeedMoreBytes;
        return shape.header_length + bytes[shape.header_length - 1] + kCrcLength;
    }
    return kEndsAtSilence;
}

bool crc_matches(const std::uint8_t* frame, std::size_t length)
{
    if (length < 4)
        return false;
    const std::uint16_t crc = crc16(frame, length - kCrcLength);
    return frame[length - 2] == (crc & 0xFF) && frame[length - 1] == (crc >> 8);
}

}  // namespace metersim
