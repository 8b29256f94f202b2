// Modbus puts every 16-bit word on the wire big-endian: high byte first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace modbus {

inline std::uint16_t word_at(const std::uint8_t* bytes)
{
    return static_cast<std::uint16_t>(bytes[0] << 8 | bytes[1]);
}

inline std::uint16_t word_at(const std::vector<std::uint8_t>& bytes, std::size_t offset)
{
    return word_at(bytes.data() + offset);
}

inline void put_word(std::vector<std::uint8_t>& bytes, std::uint16_t word)
{
    bytes.push_back(static_cast<std::uint8_t>(word >> 8));
    bytes.push_back(static_cast<std::uint8_t>(word & 0xFF));
}

}  // namespace modbus
