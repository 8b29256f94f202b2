// Where a Modbus RTU request ends in the bytes a slave receives: known from
// the function code for the functions a meter is asked for, otherwise at the
// silence after it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace metersim {

constexpr std::size_t kMaxFrameLength = 256;  // address, PDU of up to 253 bytes, CRC
constexpr std::uint8_t kBroadcastAddress = 0;

// What request_length() found.
constexpr std::size_t kNeedMoreBytes = 0;           // the header is still arriving
constexpr std::size_t kEndsAtSilence = SIZE_MAX;    // the length is not in the header

// The full length of the request that starts at bytes, once enough of its
// header has arrived to tell.
std::size_t request_length(const std::uint8_t* bytes, std::size_t available);

// Whether the last two bytes are the CRC of the rest.
bool crc_matches(const std::uint8_t* frame, std::size_t length);

}  // namespace metersim
