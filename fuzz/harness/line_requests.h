// The requests the line fuzz targets make, read from the fuzz input, and the
// one reply PDU that answers each: what a line may hand back as taken.
#pragma once

#include <cstdint>
#include <vector>

#include "devhost/lines/line.h"
#include "fuzz/harness/byte_script.h"

namespace fuzzharness {

using Bytes = std::vector<std::uint8_t>;

struct LineRequest {
    enum class Kind { Read, WriteOne, WriteMany };
    Kind kind = Kind::Read;
    int slave = 1;
    int address = 0;
    int count = 1;                      // registers read, or written by a multiple write
    std::vector<std::uint16_t> values;  // written
};

// Script: kind (u8 % 3), slave (u8 % 247 + 1), address (u16), count (u8;
// within the Modbus limits of the kind), the values derived from the count.
LineRequest request_from(ByteScript& script);

// A read of two registers from register 7 of slave 1: the good request
// after every fuzzed one.
LineRequest good_request();

devhost::Exchange perform(devhost::Line& line, const LineRequest& request, int timeout_ms);

// The request PDU as Modbus builds it (slave, function, data).
Bytes request_pdu(const LineRequest& request);

// The reply PDU a meter holding register N = N ^ 0x5A5A gives.
Bytes answer_pdu(const LineRequest& request);

// The reply PDU the exchange says it took (slave, function, data), rebuilt
// from its registers or echo: for a read, the function, byte count and
// data; for a write, the function, register and echo.
Bytes taken_pdu(const LineRequest& request, const devhost::Exchange& exchange);

// Checks an exchange against the Modbus rules: taken only as a well-formed
// answer to its request; nothing else in its result.
void check_exchange(const LineRequest& request, const devhost::Exchange& exchange);

}  // namespace fuzzharness
