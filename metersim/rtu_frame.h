// Modbus RTU reply frames as the simulated meter sends them: slave address,
// PDU, then the CRC-16 (polynomial 0xA001, low byte first). The simulator
// frames its replies itself so that it can corrupt them and pace them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace metersim {

using Frame = std::vector<std::uint8_t>;

std::uint16_t crc16(const std::uint8_t* data, std::size_t length);

Frame read_reply(std::uint8_t slave, const std::vector<std::uint16_t>& registers);
Frame write_single_echo(std::uint8_t slave, std::uint16_t address, std::uint16_t value);
Frame write_multiple_echo(std::uint8_t slave, std::uint16_t address, std::uint16_t quantity);
Frame exception_reply(std::uint8_t slave, std::uint8_t function, std::uint8_t code);

// Inverts both CRC bytes of a finished frame.
void corrupt_crc(Frame& frame);

}  // namespace metersim
