// A Modbus RTU line on a serial port, over libmodbus. Before each request
// the line is left silent for 3.5 characters after the end of the last frame
// (modbus/frame_timing.h), no longer; then it is flushed, so a late reply to an
// earlier request is never taken for the reply to this one. The opening of
// the port counts as the end of a frame: a meter listening while the port
// was opened (and a transceiver switched on) cannot know what the line
// carried before.
#pragma once

#include <chrono>

#include "devhost/lines/line.h"

typedef struct _modbus modbus_t;

namespace devhost {

class SerialLine final : public Line {
public:
    explicit SerialLine(LineSettings settings);
    ~SerialLine() override;

    bool open(std::string& error) override;
    void close() override;
    bool is_open() const override { return modbus_ != nullptr; }
    // The device node is gone (unplugged adapter, simulator stopped).
    bool vanished() const override;
    bool has_speed() const override { return true; }

private:
    Exchange transact(const MeterAddress& meter, const std::vector<std::uint8_t>& request,
                      std::vector<std::uint8_t>& reply) override;
    void keep_silence() const;

    std::chrono::nanoseconds silence_;
    // The end of the last frame on the line: the last byte received, or the
    // end of our own request when nothing came back, or the port's opening.
    std::chrono::steady_clock::time_point last_frame_end_{};
    modbus_t* modbus_ = nullptr;
};

}  // namespace devhost
