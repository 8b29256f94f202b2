// Modbus requests for registers, as the master builds them and a meter reads
// them. Both work on the meter's address, the function code and its data:
// what an RTU frame carries before its CRC, and a Modbus TCP frame after its
// header (its unit identifier being the address).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace modbus {

// The caller keeps address and count within the protocol's limits
// (protocol.h).
std::vector<std::uint8_t> read_registers_request(int slave, int address, int count);
std::vector<std::uint8_t> write_register_request(int slave, int address, std::uint16_t value);
std::vector<std::uint8_t> write_registers_request(int slave, int address,
                                                  const std::vector<std::uint16_t>& values);

// What a meter reads in a request.
enum class RequestShape {
    Read,           // read holding registers: address, count
    WriteSingle,    // write single register: address, values[0]; count 1
    WriteMultiple,  // write multiple registers: address, count, values
    BadByteCount,   // a multiple write whose byte count does not match its count or length
    Unsupported,    // another function, or one of the above of the wrong length
};

struct Request {
    std::uint8_t slave = 0;
    std::uint8_t function = 0;
    // From the first two data words when there are (0 otherwise): the first
    // register, and the count (a multiple write's, also when BadByteCount).
    std::uint16_t address = 0;
    std::uint16_t count = 0;
    std::vector<std::uint16_t> values;  // what a write carries
};

// `length` is at least 2 (address and function code).
RequestShape parse_request(const std::uint8_t* bytes, std::size_t length, Request& request);

}  // namespace modbus
