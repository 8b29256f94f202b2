// The simulated meters of the simulator fuzz targets as a master sees them,
// from the Modbus rules and the meters' register map alone (registers 10 to
// 69, a fixed table, writes kept): which request gets an answer, and which
// answer. Also the requests those targets send, read from the fuzz input.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "fuzz/harness/byte_script.h"
#include "metersim/meters.h"

namespace fuzzharness {

// The most steps (sends, silences, waits) one input of the simulator's
// targets takes, so that every input's run stays short.
constexpr std::size_t kMostScriptSteps = 64;

using Bytes = std::vector<std::uint8_t>;

// What a meter must answer: the reply's slave, function and data. When
// any_exception, the request is of a supported function but of a length no
// such request has: any exception code (1 to 4) answers it, pdu[2] aside.
struct ExpectedReply {
    Bytes pdu;
    bool any_exception = false;
};

class MeterModel {
public:
    MeterModel();

    // Meters that behave as this model: slaves 1, 2, 3 (dead) and 247, no faults.
    metersim::MeterOptions options() const;

    // The reply to body (slave, function, data), applying the writes it
    // makes; nullopt where no meter answers (broadcast, dead, not served).
    std::optional<ExpectedReply> answer(const Bytes& body);

    static bool matches(const ExpectedReply& expected, const Bytes& pdu);

private:
    using Table = std::array<std::uint16_t, 60>;
    std::map<int, Table> live_;
};

// Modbus RTU's CRC-16, computed here bit by bit, and frames with it.
Bytes with_crc(Bytes bytes);
bool crc_ok(const Bytes& frame);

// Script: a unit (u8 % 7: slaves 1, 2, 247, the dead 3, broadcast 0, the
// absent 9, 255), then kind (u8 % 4): 0 read, address (u8), count (u8 % 128);
// 1 single write, address (u8), value (u16); 2 multiple write, address (u8),
// count (u8 % 128), the values (u16 each); 3 any function (u8), data
// (u8 % 16 bytes). Returns the body (slave, function, data).
Bytes request_from(ByteScript& script);

// A request a live meter answers with its data or echo: kind (u8 % 3),
// slave (u8 % 3 of 1, 2, 247), address (10 + u8 % 60), count to fit.
Bytes good_request_from(ByteScript& script);

}  // namespace fuzzharness
