// Ctrl-C (SIGINT) and SIGTERM end a run cleanly: they only set a flag that
// the host loop sees between transactions, and cut short its wait.
#pragma once

#include <chrono>

namespace meterhost {

class StopSignal {
public:
    StopSignal();  // installs the handlers
    ~StopSignal(); // restores the previous ones
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;

    bool requested() const;
    // Requests the stop as the signals do, from any thread.
    void request();
    // Waits until the deadline or a stop request; true if stop was requested.
    bool wait_until(std::chrono::steady_clock::time_point deadline) const;
};

}  // namespace meterhost
