// meterhost's command line and configuration as a bench session's typed
// options: the lines and meters the configuration gives, the module and
// history of the command line, and the polling it asks for.
#pragma once

#include "devhost/meterhost/command_line.h"
#include "devhost/meterhost/host_config.h"
#include "devhost/meterhost/session_options.h"

namespace meterhost {

SessionOptions session_options(const HostOptions& options, const HostConfig& config);
PollPolicy poll_policy(const HostOptions& options);

}  // namespace meterhost
