// One Modbus line of the bench host, whatever carries it (a serial port, a
// TCP connection to a Modbus TCP gateway or to a serial server): the meters
// on it are reached one transaction at a time, each naming its meter's
// address. The Modbus part of a transaction
// (building the request, judging the reply) is the same on every kind of
// line and is done here; a kind of line only carries the frames (transact).
// Not thread-safe: one thread uses a line, one transaction at a time.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "devhost/lines/line_settings.h"

namespace devhost {

enum class ExchangeStatus {
    Ok,
    Timeout,    // no reply in time
    BadCrc,     // a reply arrived damaged
    Exception,  // the meter answered with a Modbus exception
    BadReply,   // a well-formed reply that does not answer the request
    LineDown,   // the line failed (unplugged adapter, closed terminal)
    // A network line's server refused, reset, closed or never answered the
    // connection; it is made anew at the next transaction.
    NoConnection,
};

struct Exchange {
    ExchangeStatus status = ExchangeStatus::Ok;
    std::string error;                    // what went wrong, for diagnostics
    std::vector<std::uint16_t> registers; // a read's registers
    std::uint16_t echo = 0;  // a write's echo: the value (function 6) or the count (function 16)
};

Exchange failed_exchange(ExchangeStatus status, std::string error);
const char* status_name(ExchangeStatus status);

// Which meter an exchange is with, and how long it may take to answer.
struct MeterAddress {
    int slave = 1;
    int timeout_ms = 500;  // for the first byte of a reply
};

// One frame that crossed a line, as the host saw it, or a reply that never
// came.
struct LineFrame {
    enum class Direction { Sent, Received, Timeout };

    LineFrame() = default;
    LineFrame(Direction direction_, std::chrono::steady_clock::time_point time_,
              std::vector<std::uint8_t> bytes_, std::chrono::nanoseconds silence_before_,
              bool intact_, std::string problem_ = {})
        : direction(direction_), time(time_), bytes(std::move(bytes_)),
          silence_before(silence_before_), intact(intact_), problem(std::move(problem_))
    {
    }

    Direction direction = Direction::Sent;
    // When the frame was complete: handed to the line (sent), taken off it
    // (received), or when the wait for a reply ended (timeout).
    std::chrono::steady_clock::time_point time;
    std::vector<std::uint8_t> bytes;  // as on the wire, checksum or header included
    // How long the line was quiet before the frame began, as the host
    // measured it.
    std::chrono::nanoseconds silence_before{0};
    bool intact = true;  // its checksum is right (always, where the line has none)
    int slave = 0;       // the meter the exchange was with (notify fills it in)
    // Why a reply was not taken (a bad checksum, another slave's reply, a
    // reply cut short), or empty.
    std::string problem;
};

// Watches the frames of lines (a trace). Called on the line's thread, after
// each frame; never while the line waits for the silence before a request.
class LineObserver {
public:
    virtual ~LineObserver() = default;
    virtual void on_frame(const LineSettings& line, const LineFrame& frame) = 0;
};

class Line {
public:
    explicit Line(LineSettings settings) : settings_(std::move(settings)) {}
    virtual ~Line() = default;
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;

    // False with a message when the line cannot be opened.
    virtual bool open(std::string& error) = 0;
    virtual void close() = 0;
    virtual bool is_open() const = 0;
    // True when the line itself has gone (an adapter unplugged), which an
    // exchange may show as a mere timeout; the host then reopens it.
    virtual bool vanished() const { return false; }
    // True when the host sets the line's speed and parity (a serial port),
    // so that other settings can be tried on it; false for a line that has
    // none of its own (a TCP connection).
    virtual bool has_speed() const { return false; }

    // The line's address, speed and parity; its slave and timeout are unused.
    const LineSettings& settings() const { return settings_; }
    // Null: nobody watches, and the frames cost nothing extra.
    void set_observer(LineObserver* observer) { observer_ = observer; }

    // The caller checks counts against the Modbus limits before calling.
    Exchange read_registers(const MeterAddress& meter, int address, int count);
    Exchange write_register(const MeterAddress& meter, int address, std::uint16_t value);
    Exchange write_registers(const MeterAddress& meter, int address,
                             const std::vector<std::uint16_t>& values);

protected:
    // Sends `request` (the meter's address, the function code, its data) and
    // receives the meter's reply in the same form, without the line's
    // checksum or header. Ok when an intact reply from that meter came.
    virtual Exchange transact(const MeterAddress& meter, const std::vector<std::uint8_t>& request,
                              std::vector<std::uint8_t>& reply) = 0;

    bool observed() const { return observer_ != nullptr; }
    // Tells the observer, naming the meter of the exchange in progress.
    void notify(LineFrame frame) const
    {
        if (observer_ == nullptr)
            return;
        frame.slave = exchanging_with_;
        observer_->on_frame(settings_, frame);
    }

private:
    // Carries the request and judges the reply (modbus/replies.h).
    Exchange exchange(const MeterAddress& meter, const std::vector<std::uint8_t>& request);

    LineSettings settings_;
    LineObserver* observer_ = nullptr;
    int exchanging_with_ = 0;
};

}  // namespace devhost
