// What the line threads tell about their meters, for whatever shows them:
// the plain or JSON output (meter_board.h) or the live view (live_view.h).
// Called from every line's thread, concurrently.
#pragma once

#include <cstddef>
#include <string>

namespace meterhost {

class MeterObserver {
public:
    virtual ~MeterObserver() = default;

    // A round of the meter (its index over all lines) completed with this
    // snapshot text; rounds and errors are its counts so far.
    virtual void round_done(std::size_t meter, const std::string& snapshot_text,
                            unsigned long rounds, unsigned long errors) = 0;
    // The meter's state after a poll.
    virtual void set_online(std::size_t meter, bool online, unsigned long errors) = 0;
};

}  // namespace meterhost
