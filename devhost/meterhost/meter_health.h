// Whether a meter is worth polling: after kFailuresToOffline failed polls in
// a row it is offline and tried only when its retry wait has passed, the
// wait doubling from the first to the longest; one answer brings it back.
// So a dead meter costs its line at most one timeout per retry wait.
#pragma once

#include <chrono>

namespace meterhost {

class MeterHealth {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr int kFailuresToOffline = 3;

    enum class Change { None, WentOffline, CameBack };

    MeterHealth(Clock::duration first_retry, Clock::duration longest_retry);

    bool online() const { return online_; }
    // Online meters are always due; offline ones once their wait has passed.
    bool due(Clock::time_point now) const { return online_ || now >= next_try_; }
    // The wait before the next try of an offline meter, and when that is;
    // the distant past for an online meter.
    Clock::duration retry_wait() const { return wait_; }
    Clock::time_point next_try() const { return online_ ? Clock::time_point{} : next_try_; }

    // The outcome of a poll made at `now`.
    Change record(bool answered, Clock::time_point now);

private:
    Clock::duration first_retry_;
    Clock::duration longest_retry_;
    Clock::duration wait_;
    Clock::time_point next_try_{};
    int failures_ = 0;
    bool online_ = true;
};

}  // namespace meterhost
