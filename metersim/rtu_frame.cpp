#include "metersim/rtu_frame.h"

namespace metersim {

namespace {

void put_word(Frame& frame, std::uint16_t word)
{
    frame.push_back(static_cast<std::uint8_t>(word >> 8));
    frame.push_back(static_cast<std::uint8_t>(word & 0xFF));
}

Frame& finish(Frame& frame)
{
    const std::uint16_t crc = crc16(frame.data(), frame.size());
    frame.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<std::uint8_t>(crc >> 8));
    return frame;
}

}  // namespace

std::uint16_t crc16(const std::uint8_t* data, std::size_t length)
{
    std::uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001)
                            : static_cast<std::uint16_t>(crc >> 1);
    }
    return crc;
}

Frame read_reply(std::uint8_t slave, const std::vector<std::uint16_t>& registers)
{
    Frame frame{slave, 3, static_cast<std::uint8_t>(registers.size() * 2)};
    for (std::uint16_t word : registers)
        put_word(frame, word);
    return finish(frame);
}

Frame write_single_echo(std::uint8_t slave, std::uint16_t address, std::uint16_t value)
{
    Frame frame{slave, 6};
    put_word(frame, address);
    put_word(frame, value);
    return finish(frame);
}

Frame write_multiple_echo(std::uint8_t slave, std::uint16_t address, std::uint16_t quantity)
{
    Frame frame{slave, 16};
    put_word(frame, address);
    put_word(frame, quantity);
    return finish(frame);
}

Frame exception_reply(std::uint8_t slave, std::uint8_t function, std::uint8_t code)
{
    Frame frame{slave, static_cast<std::uint8_t>(function | 0x80), code};
    return finish(frame);
}

void corrupt_crc(Frame& frame)
{
    if (frame.size() < 2)
        return;
    frame[frame.size() - 1] ^= 0xFF;
    frame[frame.size() - 2] ^= 0xFF;
}

}  // namespace metersim
