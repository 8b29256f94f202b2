// Where a Modbus RTU frame ends in the bytes that arrive: known from the
// function code and the header for the functions a meter is asked for;
// otherwise only the silence after it tells.
#pragma once

#include <cstddef>
#include <cstdint>

namespace modbus {

// What the length functions found, besides a length.
constexpr std::size_t kNeedMoreBytes = 0;         // the header is still arriving
constexpr std::size_t kEndsAtSilence = SIZE_MAX;  // the length is not in the header

// The full length of the request that starts at bytes, CRC included.
std::size_t rtu_request_length(const std::uint8_t* bytes, std::size_t available);

// The full length of the reply that starts at bytes, CRC included, to a
// request for registers (requests.h) or an exception.
std::size_t rtu_reply_length(const std::uint8_t* bytes, std::size_t available);

}  // namespace modbus
