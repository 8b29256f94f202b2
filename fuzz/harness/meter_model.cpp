#include "fuzz/harness/meter_model.h"

namespace fuzzharness {

namespace {

constexpr int kFirst = 10;
constexpr int kEnd = 70;  // one past the last register
constexpr int kDeadSlave = 3;
constexpr std::uint8_t kUnits[] = {1, 2, 247, kDeadSlave, 0, 9, 255};

std::uint16_t table_value(int index) { return static_cast<std::uint16_t>(0x1357 + 0x0101 * index); }

std::uint16_t word(const Bytes& bytes, std::size_t at)
{
    return static_cast<std::uint16_t>(bytes[at] << 8 | bytes[at + 1]);
}

void put(Bytes& bytes, unsigned value)
{
    bytes.push_back(static_cast<std::uint8_t>(value >> 8));
    bytes.push_back(static_cast<std::uint8_t>(value));
}

ExpectedReply exception(const Bytes& body, std::uint8_t code, bool any = false)
{
    return {{body[0], static_cast<std::uint8_t>(body[1] | 0x80), code}, any};
}

}  // namespace

MeterModel::MeterModel()
{
    Table table;
    for (int i = 0; i < kEnd - kFirst; ++i)
        table[static_cast<std::size_t>(i)] = table_value(i);
    for (int slave : {1, 2, 247})
        live_[slave] = table;
}

metersim::MeterOptions MeterModel::options() const
{
    metersim::MeterOptions options;
    options.slaves = {1, 2, kDeadSlave, 247};
    options.dead = {kDeadSlave};
    metersim::RegisterValues table;
    for (int i = 0; i < metersim::kRegisterCount; ++i)
        table[static_cast<std::size_t>(i)] = table_value(i);
    options.table = table;
    return options;
}

std::optional<ExpectedReply> MeterModel::answer(const Bytes& body)
{
    const std::uint8_t slave = body[0];
    const bool broadcast = slave == 0;
    if (!broadcast && live_.count(slave) == 0)
        return std::nullopt;
    const std::uint8_t function = body[1];
    const std::size_t length = body.size();
    const int address = length >= 4 ? word(body, 2) : 0;
    const int count = length >= 6 ? word(body, 4) : 0;
    const auto in_map = [&](int registers) {
        return address >= kFirst && address + registers <= kEnd;
    };
    const auto write = [&](const std::vector<std::uint16_t>& values) {
        for (auto& [each, table] : live_)
            if (broadcast || each == slave)
                for (std::size_t i = 0; i < values.size(); ++i)
                    table[static_cast<std::size_t>(address - kFirst) + i] = values[i];
    };

    ExpectedReply reply;
    if (function == 3) {
        if (length != 6)
            reply = exception(body, 0, true);
        else if (count < 1 || count > 125)
            reply = exception(body, 3);
        else if (!in_map(count))
            reply = exception(body, 2);
        else if (!broadcast) {
            reply.pdu = {slave, 3, static_cast<std::uint8_t>(2 * count)};
            for (int i = 0; i < count; ++i)
                put(reply.pdu, live_[slave][static_cast<std::size_t>(address - kFirst + i)]);
        }
    } else if (function == 6) {
        if (length != 6)
            reply = exception(body, 0, true);
        else if (!in_map(1))
            reply = exception(body, 2);
        else {
            write({static_cast<std::uint16_t>(count)});
            reply.pdu = body;
        }
    } else if (function == 16) {
        if (length < 7)
            reply = exception(body, 0, true);
        else if (body[6] != 2 * count || length != 7u + body[6] || count < 1 || count > 123)
            reply = exception(body, 3);
        else if (!in_map(count))
            reply = exception(body, 2);
        else {
            std::vector<std::uint16_t> values;
            for (int i = 0; i < count; ++i)
                values.push_back(word(body, 7 + 2 * static_cast<std::size_t>(i)));
            write(values);
            reply.pdu.assign(body.begin(), body.begin() + 6);
        }
    } else {
        reply = exception(body, 1);
    }
    if (broadcast)
        return std::nullopt;
    return reply;
}

bool MeterModel::matches(const ExpectedReply& expected, const Bytes& pdu)
{
    if (!expected.any_exception)
        return pdu == expected.pdu;
    return pdu.size() == 3 && pdu[0] == expected.pdu[0] && pdu[1] == expected.pdu[1] &&
           pdu[2] >= 1 && pdu[2] <= 4;
}

Bytes with_crc(Bytes bytes)
{
    unsigned crc = 0xFFFF;
    for (std::uint8_t byte : bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    bytes.push_back(static_cast<std::uint8_t>(crc));
    bytes.push_back(static_cast<std::uint8_t>(crc >> 8));
    return bytes;
}

bool crc_ok(const Bytes& frame)
{
    return frame.size() >= 2 && with_crc(Bytes(frame.begin(), frame.end() - 2)) == frame;
}

Bytes request_from(ByteScript& script)
{
    Bytes body{kUnits[script.u8() % sizeof kUnits]};
    switch (script.u8() % 4) {
    case 0:
        body.push_back(3);
        put(body, script.u8());
        put(body, script.u8() % 128);
        break;
    case 1:
        body.push_back(6);
        put(body, script.u8());
        put(body, script.u16());
        break;
    case 2: {
        body.push_back(16);
        put(body, script.u8());
        const unsigned count = script.u8() % 128;
        put(body, count);
        body.push_back(static_cast<std::uint8_t>(2 * count));
        for (unsigned i = 0; i < count; ++i)
            put(body, script.u16());
        break;
    }
    default: {
        body.push_back(script.u8());
        const Bytes data = script.bytes(script.u8() % 16);
        body.insert(body.end(), data.begin(), data.end());
        break;
    }
    }
    return body;
}

Bytes good_request_from(ByteScript& script)
{
    const int kind = script.u8() % 3;
    const std::uint8_t slave = kUnits[script.u8() % 3];
    const int address = kFirst + script.u8() % (kEnd - kFirst);
    const unsigned count = 1 + script.u8() % static_cast<unsigned>(kEnd - address);
    Bytes body{slave};
    if (kind == 0) {
        body.push_back(3);
        put(body, static_cast<unsigned>(address));
        put(body, count);
    } else if (kind == 1) {
        body.push_back(6);
        put(body, static_cast<unsigned>(address));
        put(body, 0xA000 + count);
    } else {
        body.push_back(16);
        put(body, static_cast<unsigned>(address));
        put(body, count);
        body.push_back(static_cast<std::uint8_t>(2 * count));
        for (unsigned i = 0; i < count; ++i)
            put(body, 0xB000 + i);
    }
    return body;
}

}  // namespace fuzzharness
