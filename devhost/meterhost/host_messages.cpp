#include "devhost/meterhost/host_messages.h"
#include "sysio/write_all.h"

#include <unistd.h>

#include "devhost/meterhost/host_output.h"

namespace meterhost {

void HostMessages::report(const std::string& line)
{
    std::lock_guard<std::mutex> lock(mutex_);
    newest_ = line;
    if (listener_)
        listener_(line);
    if (to_error_)
        sysio::write_all(STDERR_FILENO, "meterhost: " + line + "\n");
}

void HostMessages::divert_to(Listener listener, bool also_to_error)
{
    std::lock_guard<std::mutex> lock(mutex_);
    listener_ = std::move(listener);
    to_error_ = also_to_error;
    if (!newest_.empty())
        listener_(newest_);
}

void HostMessages::restore()
{
    std::lock_guard<std::mutex> lock(mutex_);
    listener_ = nullptr;
    to_error_ = true;
}

}  // namespace meterhost
