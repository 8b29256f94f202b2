// DeviceIoControl: register writes, the 310/320 requests, the write-outcome
// query, and dispatch to the snapshot requests.
#include <cstdint>
#include <cstring>
#include <vector>

#include <json/reader.h>

#include "meter/json_nesting.h"
#include "meter/kalvor_power_meter.h"
#include "meter/request_codes.h"

namespace {

// Input words are host-order 16-bit values at even offsets of a buffer of
// any alignment.
std::uint16_t input_word(const unsigned char* in, int index)
{
    std::uint16_t word;
    std::memcpy(&word, in + 2 * index, sizeof word);
    return word;
}

bool buffers_usable(const void* in, int in_len, const void* out, int out_len)
{
    if (in_len < 0 || out_len < 0)
        return false;
    if (in == nullptr && in_len > 0)
        return false;
    if (out == nullptr && out_len > 0)
        return false;
    return true;
}

}  // namespace

int KalvorPowerMeter::DeviceIoControl(int code, const void* in, int in_len, void* out,
                                      int out_len, int& out_count)
{
    if (!buffers_usable(in, in_len, out, out_len))
        return -1;
    const auto* input = static_cast<const unsigned char*>(in);
    auto* output = static_cast<unsigned char*>(out);

    switch (code) {
    case request::kWriteRegister:
        return write_register(input, in_len);
    case request::kWriteRegisters:
        return write_registers(input, in_len);
    case request::kSignalRequest:
        return signal_request(input, in_len);
    case request::kOpenPortRequest:
        return open_port_request();
    case request::kSnapshotText:
        return snapshot_text(output, out_len, out_count);
    case request::kSnapshotAddress:
        return snapshot_address(output, out_len, out_count);
    default:
        return write_outcome_query(output, out_len, out_count);
    }
}

int KalvorPowerMeter::write_register(const unsigned char* in, int in_len)
{
    if (in_len < 4)
        return -1;
    tab = transaction::kWriteRegister;
    write_result = write_outcome::kPending;
    SMDSPDevice::OpenPort();
    const int address = input_word(in, 0);
    write_expect = input_word(in, 1);
    modbus_write_register(address, write_expect);
    return 0;
}

int KalvorPowerMeter::write_registers(const unsigned char* in, int in_len)
{
    if (in_len < 2)
        return -1;
    tab = transaction::kWriteRegisters;
    write_result = write_outcome::kPending;
    SMDSPDevice::OpenPort();
    const int count = in_len / 2 - 1;  // an odd trailing byte is dropped
    write_expect = count;
    const int address = input_word(in, 0);

    // The host reads the values as 16-bit words; hand it an aligned copy
    // when the caller's words are not 2-byte aligned.
    const unsigned char* values = in + 2;
    std::vector<unsigned short> aligned;
    if (reinterpret_cast<std::uintptr_t>(values) % alignof(unsigned short) != 0) {
        aligned.resize(static_cast<std::size_t>(count));
        if (!aligned.empty())  // an empty vector's data() may be null
            std::memcpy(aligned.data(), values, aligned.size() * sizeof(unsigned short));
        modbus_write_registers(address, count, aligned.data());
    } else {
        modbus_write_registers(address, count, reinterpret_cast<const unsigned short*>(values));
    }
    return 0;
}

int KalvorPowerMeter::signal_request(const unsigned char* in, int in_len)
{
    tab = request::kSignalRequest;
    write_result = write_outcome::kPending;
    SMDSPDevice::OpenPort();

    const char* begin = reinterpret_cast<const char*>(in);
    const char* end = begin + in_len;
    if (in_len == 0 || !meter::json_nesting_within(begin, static_cast<std::size_t>(in_len),
                                                   meter::kMaxJsonNesting))
        return -1;

    // The lenient reader the host's requests were always parsed with
    // (comments, any root value). Its content needs no action here.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    Json::Reader reader;
#pragma GCC diagnostic pop
    Json::Value parsed;
    try {
        return reader.parse(begin, end, parsed) ? 0 : -1;
    } catch (const Json::Exception&) {
        return -1;  // the reader's own refusal of a text it cannot take
    }
}

int KalvorPowerMeter::open_port_request()
{
    tab = request::kOpenPortRequest;
    write_result = write_outcome::kPending;
    SMDSPDevice::OpenPort();
    return 0;
}

int KalvorPowerMeter::write_outcome_query(unsigned char* out, int out_len, int& out_count) const
{
    if (out_len < static_cast<int>(sizeof write_result)) {
        out_count = 0;
        return 0;
    }
    std::memcpy(out, &write_result, sizeof write_result);
    out_count = sizeof write_result;
    return 0;
}
