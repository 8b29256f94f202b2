// The one definition of what the host places in SPModbus::reply_words before
// it calls process_payload:
//   block read (function 3):       word i = register (start + i), host order;
//   single write (function 6):     word 0 = the value the meter echoed;
//   multiple write (function 16):  word 0 = 16, word 1 = the quantity echoed.
// Words past those are zero.
#pragma once

#include <cstddef>
#include <cstdint>

class SPModbus;

namespace devhost {

// Copies at most SPModbus::kReplyWordCount registers; returns how many it placed.
std::size_t place_read_reply(SPModbus& device, const std::uint16_t* registers, std::size_t count);
void place_write_single_reply(SPModbus& device, std::uint16_t echoed_value);
void place_write_multiple_reply(SPModbus& device, std::uint16_t echoed_quantity);

}  // namespace devhost
