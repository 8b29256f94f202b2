#include "devhost/meterhost/meter_health.h"

#include <algorithm>

namespace meterhost {

MeterHealth::MeterHealth(Clock::duration first_retry, Clock::duration longest_retry)
    : first_retry_(first_retry), longest_retry_(longest_retry), wait_(first_retry)
{
}

MeterHealth::Change MeterHealth::record(bool answered, Clock::time_point now)
{
    if (answered) {
        failures_ = 0;
        wait_ = first_retry_;
        if (online_)
            return Change::None;
        online_ = true;
        return Change::CameBack;
    }
    if (!online_) {
        wait_ = std::min(wait_ * 2, longest_retry_);
        next_try_ = now + wait_;
        return Change::None;
    }
    if (++failures_ < kFailuresToOffline)
        return Change::None;
    online_ = false;
    wait_ = first_retry_;
    next_try_ = now + wait_;
    return Change::WentOffline;
}

}  // namespace meterhost
