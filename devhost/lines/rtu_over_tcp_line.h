// Modbus RTU frames over one TCP connection to a serial server, which puts
// them on its serial line unchanged. So the frames are a serial line's, with
// their checksum, one transaction at a time, and before each request the
// line is left silent for 3.5 characters at the line's speed and parity
// after the last frame on it (modbus/frame_timing.h), no longer. Bytes that came
// since the last transaction (a late reply) are dropped before a request, as
// a serial line is flushed; a reply from another meter is discarded.
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

#include "devhost/lines/tcp_line.h"

namespace devhost {

class RtuOverTcpLine final : public TcpLine {
public:
    // How the line waits for the silence before a request to pass. A
    // harness that judges the framing and not the timing may pass one that
    // returns at once; every real line sleeps.
    using WaitUntil = void (*)(Clock::time_point until);
    static void sleep_until(Clock::time_point until);

    RtuOverTcpLine(LineSettings settings, modbus::LineAddress address,
                   WaitUntil wait_until = sleep_until);

private:
    Exchange transact(const MeterAddress& meter, const std::vector<std::uint8_t>& request,
                      std::vector<std::uint8_t>& reply) override;
    void keep_silence() const;

    std::chrono::nanoseconds silence_;
    WaitUntil wait_until_;
    // The end of the last frame on the line: the last byte received, or the
    // end of our own request on the serial line when nothing came back, or
    // the connection's opening.
    Clock::time_point last_frame_end_{};
};

}  // namespace devhost
