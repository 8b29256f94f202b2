// A Modbus TCP line, to a gateway that converts to the meters' serial bus or
// to a meter on the network. Each request goes out behind a header (MBAP) with
// a transaction number of its own and the meter's address as the unit
// identifier; replies are framed by their header's length, and one for
// another transaction or unit (a late reply to an earlier request) is
// discarded, never taken. A stream whose header makes no sense cannot be
// framed any more: it is closed and made anew at the next transaction.
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

#include "devhost/lines/tcp_line.h"

namespace devhost {

class ModbusTcpLine final : public TcpLine {
public:
    ModbusTcpLine(LineSettings settings, modbus::LineAddress address);

private:
    Exchange transact(const MeterAddress& meter, const std::vector<std::uint8_t>& request,
                      std::vector<std::uint8_t>& reply) override;
    void take_in(const std::vector<std::uint8_t>& bytes, Clock::time_point when);
    void notify_received(const std::vector<std::uint8_t>& frame, std::string problem = {});

    std::uint16_t last_transaction_ = 0;
    // Bytes read and not yet framed, when the oldest and the newest of them came.
    std::vector<std::uint8_t> unframed_;
    Clock::time_point unframed_since_{};
    Clock::time_point last_arrival_{};
    // The end of the last frame on the connection, or its opening.
    Clock::time_point last_frame_end_{};
};

}  // namespace devhost
