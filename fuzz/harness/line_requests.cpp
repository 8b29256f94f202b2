#include "fuzz/harness/line_requests.h"

#include <string>

#include "fuzz/harness/fuzz_check.h"

namespace fuzzharness {

namespace {

void put_word(Bytes& bytes, unsigned word)
{
    bytes.push_back(static_cast<std::uint8_t>(word >> 8));
    bytes.push_back(static_cast<std::uint8_t>(word));
}

std::uint16_t held(int address) { return static_cast<std::uint16_t>(address ^ 0x5A5A); }

std::uint8_t function_of(const LineRequest& request)
{
    switch (request.kind) {
    case LineRequest::Kind::Read: return 3;
    case LineRequest::Kind::WriteOne: return 6;
    case LineRequest::Kind::WriteMany: return 16;
    }
    return 0;
}

}  // namespace

LineRequest request_from(ByteScript& script)
{
    LineRequest request;
    request.kind = static_cast<LineRequest::Kind>(script.u8() % 3);
    request.slave = script.u8() % 247 + 1;
    request.address = script.u16();
    const int count = script.u8();
    switch (request.kind) {
    case LineRequest::Kind::Read: request.count = count % 125 + 1; break;
    case LineRequest::Kind::WriteOne:
        request.count = 1;
        request.values = {static_cast<std::uint16_t>(count * 0x0101)};
        break;
    case LineRequest::Kind::WriteMany:
        request.count = count % 123 + 1;
        for (int i = 0; i < request.count; ++i)
            request.values.push_back(static_cast<std::uint16_t>(count * 257 + i));
        break;
    }
    return request;
}

LineRequest good_request()
{
    LineRequest request;
    request.address = 7;
    request.count = 2;
    return request;
}

devhost::Exchange perform(devhost::Line& line, const LineRequest& request, int timeout_ms)
{
    const devhost::MeterAddress meter{request.slave, timeout_ms};
    switch (request.kind) {
    case LineRequest::Kind::Read: return line.read_registers(meter, request.address, request.count);
    case LineRequest::Kind::WriteOne:
        return line.write_register(meter, request.address, request.values.front());
    case LineRequest::Kind::WriteMany:
        return line.write_registers(meter, request.address, request.values);
    }
    return {};
}

Bytes request_pdu(const LineRequest& request)
{
    Bytes pdu{static_cast<std::uint8_t>(request.slave), function_of(request)};
    put_word(pdu, static_cast<unsigned>(request.address));
    if (request.kind == LineRequest::Kind::WriteOne) {
        put_word(pdu, request.values.front());
        return pdu;
    }
    put_word(pdu, static_cast<unsigned>(request.count));
    if (request.kind == LineRequest::Kind::WriteMany) {
        pdu.push_back(static_cast<std::uint8_t>(2 * request.count));
        for (std::uint16_t value : request.values)
            put_word(pdu, value);
    }
    return pdu;
}

Bytes answer_pdu(const LineRequest& request)
{
    Bytes pdu{static_cast<std::uint8_t>(request.slave), function_of(request)};
    if (request.kind == LineRequest::Kind::Read) {
        pdu.push_back(static_cast<std::uint8_t>(2 * request.count));
        for (int i = 0; i < request.count; ++i)
            put_word(pdu, held(request.address + i));
        return pdu;
    }
    put_word(pdu, static_cast<unsigned>(request.address));
    const bool single = request.kind == LineRequest::Kind::WriteOne;
    put_word(pdu, single ? request.values.front() : static_cast<unsigned>(request.count));
    return pdu;
}

Bytes taken_pdu(const LineRequest& request, const devhost::Exchange& exchange)
{
    Bytes pdu{static_cast<std::uint8_t>(request.slave), function_of(request)};
    if (request.kind == LineRequest::Kind::Read) {
        pdu.push_back(static_cast<std::uint8_t>(2 * exchange.registers.size()));
        for (std::uint16_t word : exchange.registers)
            put_word(pdu, word);
        return pdu;
    }
    put_word(pdu, static_cast<unsigned>(request.address));
    put_word(pdu, exchange.echo);
    return pdu;
}

void check_exchange(const LineRequest& request, const devhost::Exchange& exchange)
{
    const bool ok = exchange.status == devhost::ExchangeStatus::Ok;
    FUZZ_CHECK(ok == exchange.error.empty(), "error text '" + exchange.error + "' with status " +
                                                 devhost::status_name(exchange.status));
    if (request.kind == LineRequest::Kind::Read)
        FUZZ_CHECK(exchange.registers.size() == (ok ? static_cast<std::size_t>(request.count) : 0),
                   std::to_string(exchange.registers.size()) + " registers for " +
                       std::to_string(request.count) + ", status " +
                       devhost::status_name(exchange.status));
    else
        FUZZ_CHECK(exchange.registers.empty(), "registers from a write");
}

}  // namespace fuzzharness
