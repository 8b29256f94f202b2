// meterhost's own messages ("meterhost: ..." on standard error), reported
// from any thread, each written whole. While the live view is on the
// terminal it takes them (its message line shows the newest), and they go
// to standard error as well only when that is not the view's terminal.
#pragma once

#include <mutex>
#include <string>

#include "devhost/meterhost/reporter.h"

namespace meterhost {

class HostMessages {
public:
    using Listener = Reporter;

    void report(const std::string& line);

    // From now on messages go to the listener, and to standard error only
    // when also_to_error is set. The listener gets the newest message so
    // far at once.
    void divert_to(Listener listener, bool also_to_error);
    // Back to standard error alone.
    void restore();

private:
    std::mutex mutex_;
    Listener listener_;
    bool to_error_ = true;
    std::string newest_;
};

}  // namespace meterhost
