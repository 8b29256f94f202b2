#include "modbus/rtu_crc.h"

namespace modbus {

std::uint16_t rtu_crc(const std::uint8_t* bytes, std::size_t length)
{
    std::uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i < length; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) != 0 ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001)
                                 : static_cast<std::uint16_t>(crc >> 1);
    }
    return crc;
}

void append_rtu_crc(std::vector<std::uint8_t>& frame)
{
    const std::uint16_t crc = rtu_crc(frame.data(), frame.size());
    frame.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<std::uint8_t>(crc >> 8));
}

std::vector<std::uint8_t> with_rtu_crc(std::vector<std::uint8_t> bytes)
{
    append_rtu_crc(bytes);
    return bytes;
}

bool rtu_crc_ok(const std::uint8_t* frame, std::size_t length)
{
    if (length < kRtuCrcLength)
        return false;
    const std::uint16_t crc = rtu_crc(frame, length - kRtuCrcLength);
    return frame[length - 2] == (crc & 0xFF) && frame[length - 1] == (crc >> 8);
}

}  // namespace modbus
