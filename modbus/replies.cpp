#include "modbus/replies.h"

#include "modbus/protocol.h"
#include "modbus/words.h"

namespace modbus {

namespace {

// Offsets in a request or reply: the meter's address, the function code,
// then the data.
constexpr std::size_t kFunction = 1;
constexpr std::size_t kData = 2;

std::vector<std::uint8_t> write_echo(std::uint8_t slave, std::uint8_t function,
                                     std::uint16_t address, std::uint16_t word)
{
    std::vector<std::uint8_t> reply{slave, function};
    put_word(reply, address);
    put_word(reply, word);
    return reply;
}

ReplyJudgement refused(ReplyJudgement::Verdict verdict, std::string problem)
{
    ReplyJudgement judgement;
    judgement.verdict = verdict;
    judgement.problem = std::move(problem);
    return judgement;
}

ReplyJudgement mismatch(std::string problem)
{
    return refused(ReplyJudgement::Verdict::Mismatch, std::move(problem));
}

ReplyJudgement judge_read(std::uint16_t count, const std::vector<std::uint8_t>& reply)
{
    const std::size_t byte_count = reply[kData];
    if (byte_count != std::size_t{count} * 2 || reply.size() != kData + 1 + byte_count)
        return mismatch(std::to_string(byte_count) + " data bytes for " + std::to_string(count) +
                        " registers");
    ReplyJudgement judgement;
    for (std::size_t i = 0; i < count; ++i)
        judgement.registers.push_back(word_at(reply, kData + 1 + 2 * i));
    return judgement;
}

// A write reply echoes the address and one word (the value or the count).
ReplyJudgement judge_echo(std::uint16_t address, const std::vector<std::uint8_t>& reply)
{
    if (reply.size() != kData + 4)
        return mismatch("write reply of " + std::to_string(reply.size()) + " bytes");
    if (word_at(reply, kData) != address)
        return mismatch("write reply names register " + std::to_string(word_at(reply, kData)));
    ReplyJudgement judgement;
    judgement.echo = word_at(reply, kData + 2);
    return judgement;
}

}  // namespace

std::vector<std::uint8_t> read_registers_reply(std::uint8_t slave,
                                               const std::vector<std::uint16_t>& registers)
{
    std::vector<std::uint8_t> reply{slave, kReadHoldingRegisters,
                                    static_cast<std::uint8_t>(registers.size() * 2)};
    for (std::uint16_t word : registers)
        put_word(reply, word);
    return reply;
}

std::vector<std::uint8_t> write_register_reply(std::uint8_t slave, std::uint16_t address,
                                               std::uint16_t value)
{
    return write_echo(slave, kWriteSingleRegister, address, value);
}

std::vector<std::uint8_t> write_registers_reply(std::uint8_t slave, std::uint16_t address,
                                                std::uint16_t count)
{
    return write_echo(slave, kWriteMultipleRegisters, address, count);
}

std::vector<std::uint8_t> exception_reply(std::uint8_t slave, std::uint8_t function,
                                          std::uint8_t code)
{
    return {slave, static_cast<std::uint8_t>(function | kExceptionFlag), code};
}

ReplyJudgement judge_reply(const std::vector<std::uint8_t>& request,
                           const std::vector<std::uint8_t>& reply)
{
    if (reply.size() < kData + 1)
        return mismatch("reply too short");
    const std::uint8_t function = request[kFunction];
    if (reply[kFunction] == (function | kExceptionFlag))
        return refused(ReplyJudgement::Verdict::Exception,
                       "exception " + std::to_string(reply[kData]) + " from the meter");
    if (reply[kFunction] != function)
        return mismatch("reply to function " + std::to_string(reply[kFunction]));
    if (function == kReadHoldingRegisters)
        return judge_read(word_at(request, kData + 2), reply);
    return judge_echo(word_at(request, kData), reply);
}

}  // namespace modbus
