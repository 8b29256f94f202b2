// Modbus TCP frames: a header (MBAP) of a transaction number, protocol 0 and
// the length of what follows it, then the unit identifier (the meter's
// address, which the length counts) and the PDU. A stream of them is framed
// by the header's length alone, so a header that makes no sense leaves the
// rest of the stream unframeable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace modbus {

constexpr std::size_t kMbapBeforeUnit = 6;   // transaction, protocol, length
constexpr std::size_t kMbapMinFollowing = 2;    // unit identifier and function code
constexpr std::size_t kMbapMaxFollowing = 254;  // a 260-byte frame

// The frame for `body` (the unit identifier and the PDU: the meter's address,
// the function code, its data).
std::vector<std::uint8_t> mbap_frame(std::uint16_t transaction,
                                     const std::vector<std::uint8_t>& body);

enum class MbapTake {
    Frame,     // one frame taken off the front of the stream
    NeedMore,  // no whole frame yet
    Broken,    // the header makes no sense: the stream cannot be framed
};

// Judges the header once its first kMbapBeforeUnit bytes are there; a whole
// frame moves from the front of `stream` into `frame`.
MbapTake take_mbap_frame(std::vector<std::uint8_t>& stream, std::vector<std::uint8_t>& frame);

// Of a whole frame: its transaction number, and its body (unit identifier
// and PDU).
std::uint16_t mbap_transaction(const std::vector<std::uint8_t>& frame);
std::vector<std::uint8_t> mbap_body(const std::vector<std::uint8_t>& frame);

}  // namespace modbus
