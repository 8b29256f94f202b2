#include "devhost/runtime/reply_layout.h"

#include <algorithm>
#include <cstring>

#include "host/spmodbus.h"

namespace devhost {

namespace {

void clear_reply(SPModbus& device)
{
    std::memset(device.reply_words, 0, sizeof device.reply_words);
}

}  // namespace

std::size_t place_read_reply(SPModbus& device, const std::uint16_t* registers, std::size_t count)
{
    clear_reply(device);
    const std::size_t placed = std::min<std::size_t>(count, SPModbus::kReplyWordCount);
    std::copy(registers, registers + placed, device.reply_words);
    return placed;
}

void place_write_single_reply(SPModbus& device, std::uint16_t echoed_value)
{
    clear_reply(device);
    device.reply_words[0] = echoed_value;
}

void place_write_multiple_reply(SPModbus& device, std::uint16_t echoed_quantity)
{
    clear_reply(device);
    device.reply_words[0] = 16;
    device.reply_words[1] = echoed_quantity;
}

}  // namespace devhost
