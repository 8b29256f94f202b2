// Modbus replies to register requests, as a meter builds them and the master
// judges them; like requests (requests.h) without the line's CRC or header.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace modbus {

std::vector<std::uint8_t> read_registers_reply(std::uint8_t slave,
                                               const std::vector<std::uint16_t>& registers);
// A write's echo: the address and the value written (function 6) or the
// count of registers written (function 16).
std::vector<std::uint8_t> write_register_reply(std::uint8_t slave, std::uint16_t address,
                                               std::uint16_t value);
std::vector<std::uint8_t> write_registers_reply(std::uint8_t slave, std::uint16_t address,
                                                std::uint16_t count);
std::vector<std::uint8_t> exception_reply(std::uint8_t slave, std::uint8_t function,
                                          std::uint8_t code);

// What a reply from the addressed meter says about the request it answers.
struct ReplyJudgement {
    enum class Verdict {
        Answer,     // it answers the request: the registers read, or the echo
        Exception,  // the meter answered with an exception
        Mismatch,   // well-formed, but no answer to this request
    };
    Verdict verdict = Verdict::Answer;
    std::string problem;  // why, unless an answer
    std::vector<std::uint16_t> registers;  // a read's
    std::uint16_t echo = 0;                // a write's value (function 6) or count (16)
};

// `request` as built by requests.h; `reply` from the meter it names.
ReplyJudgement judge_reply(const std::vector<std::uint8_t>& request,
                           const std::vector<std::uint8_t>& reply);

}  // namespace modbus
