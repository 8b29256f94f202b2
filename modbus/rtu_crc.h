// The checksum that ends every Modbus RTU frame: CRC-16 (polynomial 0xA001
// reflected, initial value 0xFFFF), sent low byte first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace modbus {

constexpr std::size_t kRtuCrcLength = 2;

std::uint16_t rtu_crc(const std::uint8_t* bytes, std::size_t length);

// Appends the checksum of what `frame` holds.
void append_rtu_crc(std::vector<std::uint8_t>& frame);

// The frame as it goes on the line: the bytes, then their checksum.
std::vector<std::uint8_t> with_rtu_crc(std::vector<std::uint8_t> bytes);

// True when the last two bytes are the checksum of those before them.
bool rtu_crc_ok(const std::uint8_t* frame, std::size_t length);

}  // namespace modbus
