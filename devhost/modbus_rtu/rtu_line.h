// One Modbus RTU master on one serial line, over libmodbus, shared by every
// meter on that line: each exchange names the meter's address. Before each
// request the line is left silent for 3.5 characters after the end of the
// last frame (frame_silence.h), no longer; then it is flushed, so a late
// reply to an earlier request is never taken for the reply to this one.
// Not thread-safe: the libmodbus context is used by one thread, one
// transaction at a time.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "line_settings.h"

typedef struct _modbus modbus_t;

namespace devhost {

enum class ExchangeStatus {
    Ok,
    Timeout,    // no reply in time
    BadCrc,     // a reply arrived damaged
    Exception,  // the meter answered with a Modbus exception
    BadReply,   // a well-formed reply that does not answer the request
    LineDown,   // the port failed (unplugged adapter, closed terminal)
};

struct Exchange {
    ExchangeStatus status = ExchangeStatus::Ok;
    std::string error;                    // what went wrong, for diagnostics
    std::vector<std::uint16_t> registers; // a read's registers
    std::uint16_t echo = 0;  // a write's echo: the value (function 6) or the count (function 16)
};

// Which meter an exchange is with, and how long it may take to answer.
struct MeterAddress {
    int slave = 1;
    int timeout_ms = 500;  // for the first byte of a reply
};

class RtuLine {
public:
    explicit RtuLine(LineSettings settings);
    ~RtuLine();
    RtuLine(const RtuLine&) = delete;
    RtuLine& operator=(const RtuLine&) = delete;

    // False with a message when the port cannot be opened.
    bool open(std::string& error);
    void close();
    bool is_open() const { return modbus_ != nullptr; }
    // The line's port, baud rate and parity; its slave and timeout are unused.
    const LineSettings& settings() const { return settings_; }

    // The caller checks counts against the Modbus limits before calling.
    Exchange read_registers(const MeterAddress& meter, int address, int count);
    Exchange write_register(const MeterAddress& meter, int address, std::uint16_t value);
    Exchange write_registers(const MeterAddress& meter, int address,
                             const std::vector<std::uint16_t>& values);

private:
    Exchange transact(const MeterAddress& meter, const std::vector<std::uint8_t>& request,
                      std::vector<std::uint8_t>& reply);
    void keep_silence() const;

    LineSettings settings_;
    std::chrono::nanoseconds silence_;
    // The end of the last frame on the line: the last byte received, or the
    // end of our own request when nothing came back.
    std::chrono::steady_clock::time_point last_frame_end_{};
    modbus_t* modbus_ = nullptr;
};

const char* status_name(ExchangeStatus status);

}  // namespace devhost
