// Modbus TCP frames as the simulator serves them: a header (MBAP) of a
// transaction number, protocol 0, the length of what follows and the unit
// identifier, then the PDU. The simulated meters answer RTU frames, so a
// request becomes one (the unit identifier as the meter's address, with its
// CRC) and the meters' reply becomes a Modbus TCP frame again.
#pragma once

#include <cstdint>
#include <vector>

#include "metersim/rtu_frame.h"

namespace metersim {

struct MbapRequest {
    std::uint16_t transaction = 0;
    Frame rtu;  // unit identifier, PDU, CRC
};

enum class MbapTake {
    Request,   // one request taken off the front of the buffer
    NeedMore,  // not a whole frame yet
    Broken,    // the header makes no sense: the stream cannot be framed
};

MbapTake take_mbap_request(std::vector<std::uint8_t>& buffer, MbapRequest& request);

// The RTU reply (address, PDU, CRC) as the reply to `transaction`.
Frame mbap_reply(std::uint16_t transaction, const Frame& rtu_reply);

}  // namespace metersim
