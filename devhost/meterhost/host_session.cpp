#include "devhost/meterhost/host_session.h"

namespace meterhost {

SessionOptions session_options(const HostOptions& options, const HostConfig& config)
{
    SessionOptions session;
    session.module = options.module;
    session.history_file = options.history_file;
    for (const LineConfig& line : config.lines) {
        LineSetup& setup = session.lines.emplace_back();
        setup.port = line.port;
        setup.simulated = line.simulated;
        setup.baud = line.baud;
        setup.parity = line.parity;
        for (const MeterConfig& meter : line.meters)
            setup.meters.push_back({meter.slave, meter.data_id, meter.json});
    }
    return session;
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
