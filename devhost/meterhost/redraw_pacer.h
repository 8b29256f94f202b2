// When the live view redraws: after a change, but never sooner than a
// minimum gap after the last frame, however often things change; once a
// tick without changes (for the clock and the ages); and at each page turn.
// Given the time, so that its rhythm is tested without waiting.
#pragma once

#include <chrono>
#include <cstddef>

namespace meterhost {

class RedrawPacer {
public:
    using Clock = std::chrono::steady_clock;

    RedrawPacer(Clock::duration min_gap, Clock::duration tick, Clock::duration page_turn,
                Clock::time_point start);

    // Something shown has changed.
    void changed() { pending_ = true; }
    // True when a frame is to be drawn at `now`; it then counts as drawn.
    bool draw_now(Clock::time_point now);
    // When draw_now may next say yes, unless something changes before.
    Clock::time_point next_wake() const;
    // The page to show, counting up from 0 at each turn.
    std::size_t page() const { return page_; }

private:
    Clock::duration min_gap_;
    Clock::duration tick_;
    Clock::duration page_turn_;
    Clock::time_point last_draw_;
    Clock::time_point next_tick_;
    Clock::time_point next_page_;
    bool pending_ = true;
    bool drawn_ = false;
    std::size_t page_ = 0;
};

}  // namespace meterhost
