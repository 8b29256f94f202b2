// The numbers of the Modbus protocol that masters and meters share: the
// functions a meter is asked for, the exception codes, the limits of a
// request, and the addresses on a line.
#pragma once

#include <cstddef>
#include <cstdint>

namespace modbus {

constexpr std::uint8_t kReadHoldingRegisters = 0x03;
constexpr std::uint8_t kWriteSingleRegister = 0x06;
constexpr std::uint8_t kWriteMultipleRegisters = 0x10;
// Set in the function code of an exception reply.
constexpr std::uint8_t kExceptionFlag = 0x80;

// Exception codes.
constexpr std::uint8_t kIllegalFunction = 1;
constexpr std::uint8_t kIllegalAddress = 2;
constexpr std::uint8_t kIllegalValue = 3;
constexpr std::uint8_t kServerDeviceFailure = 4;

constexpr int kMaxReadCount = 125;   // registers one read may ask for
constexpr int kMaxWriteCount = 123;  // registers one multiple write may carry
constexpr int kMaxRegisterAddress = 0xFFFF;

// Addresses on a line: 0 is a broadcast no meter answers, 248 to 255 are
// reserved.
constexpr std::uint8_t kBroadcastAddress = 0;
constexpr int kFirstSlave = 1;
constexpr int kLastSlave = 247;

// An RTU frame: the address, a PDU of up to 253 bytes, the CRC.
constexpr std::size_t kMaxRtuFrameLength = 256;

}  // namespace modbus
