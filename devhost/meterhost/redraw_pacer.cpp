#include "devhost/meterhost/redraw_pacer.h"

#include <algorithm>

namespace meterhost {

RedrawPacer::RedrawPacer(Clock::duration min_gap, Clock::duration tick,
                         Clock::duration page_turn, Clock::time_point start)
    : min_gap_(min_gap),
      tick_(tick),
      page_turn_(page_turn),
      last_draw_(start),
      next_tick_(start),
      next_page_(start + page_turn)
{
}

bool RedrawPacer::draw_now(Clock::time_point now)
{
    if (now >= next_page_) {
        ++page_;
        next_page_ = now + page_turn_;
        pending_ = true;
    }
    if (now >= next_tick_)
        pending_ = true;
    if (!pending_ || (drawn_ && now < last_draw_ + min_gap_))
        return false;
    pending_ = false;
    drawn_ = true;
    last_draw_ = now;
    next_tick_ = now + tick_;
    return true;
}

RedrawPacer::Clock::time_point RedrawPacer::next_wake() const
{
    if (pending_)
        return drawn_ ? last_draw_ + min_gap_ : last_draw_;
    return std::min(next_tick_, next_page_);
}

}  // namespace meterhost
