#include "devhost/lines/line.h"

#include "modbus/replies.h"
#include "modbus/requests.h"

namespace devhost {

namespace {

// A judged reply as the exchange's outcome.
Exchange exchange_of(const modbus::ReplyJudgement& judgement)
{
    switch (judgement.verdict) {
    case modbus::ReplyJudgement::Verdict::Answer: break;
    case modbus::ReplyJudgement::Verdict::Exception:
        return failed_exchange(ExchangeStatus::Exception, judgement.problem);
    case modbus::ReplyJudgement::Verdict::Mismatch:
        return failed_exchange(ExchangeStatus::BadReply, judgement.problem);
    }
    Exchange result;
    result.registers = judgement.registers;
    result.echo = judgement.echo;
    return result;
}

}  // namespace

Exchange failed_exchange(ExchangeStatus status, std::string error)
{
    Exchange result;
    result.status = status;
    result.error = std::move(error);
    return result;
}

const char* status_name(ExchangeStatus status)
{
    switch (status) {
    case ExchangeStatus::Ok: return "ok";
    case ExchangeStatus::Timeout: return "timeout";
    case ExchangeStatus::BadCrc: return "bad CRC";
    case ExchangeStatus::Exception: return "exception";
    case ExchangeStatus::BadReply: return "bad reply";
    case ExchangeStatus::LineDown: return "line down";
    case ExchangeStatus::NoConnection: return "no connection";
    }
    return "?";
}

Exchange Line::exchange(const MeterAddress& meter, const std::vector<std::uint8_t>& request)
{
    exchanging_with_ = meter.slave;
    std::vector<std::uint8_t> reply;
    Exchange result = transact(meter, request, reply);
    if (result.status != ExchangeStatus::Ok)
        return result;
    return exchange_of(modbus::judge_reply(request, reply));
}

Exchange Line::read_registers(const MeterAddress& meter, int address, int count)
{
    return exchange(meter, modbus::read_registers_request(meter.slave, address, count));
}

Exchange Line::write_register(const MeterAddress& meter, int address, std::uint16_t value)
{
    return exchange(meter, modbus::write_register_request(meter.slave, address, value));
}

Exchange Line::write_registers(const MeterAddress& meter, int address,
                               const std::vector<std::uint16_t>& values)
{
    return exchange(meter, modbus::write_registers_request(meter.slave, address, values));
}

}  // namespace devhost
