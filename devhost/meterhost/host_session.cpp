#include "devhost/meterhost/host_session.h"

namespace meterhost {

SessionOptions session_options(const HostOptions& options, const HostConfig& config)
{
    return SessionOptions{options.module, options.history_file, config.lines};
}

PollPolicy poll_policy(const HostOptions& options)
{
    PollPolicy policy;
    policy.interval_s = options.interval_s;
    policy.retry_min_s = options.retry_min_s;
    policy.retry_max_s = options.retry_max_s;
    policy.rounds = options.rounds;
    return policy;
}

}  // namespace meterhost
