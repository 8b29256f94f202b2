// The two things meterhost does with a set-up session.
#pragma once

#include <functional>
#include <string>

#include "bench_session.h"
#include "command_line.h"
#include "host_messages.h"
#include "host_output.h"

namespace meterhost {

using Reporter = std::function<void(const std::string&)>;

// A polling run that ended with a meter offline short of its --rounds.
constexpr int kExitMeterOffline = 1;

// Polls every line until --rounds or a stop signal; returns the exit status.
// On a terminal the meters show in the live view, which takes the messages.
int run_poll(BenchSession& session, const HostOptions& options, HostOutput& out,
             HostMessages& messages);

// One register write and its outcome; 0 confirmed, 1 not.
int run_write(BenchSession& session, const HostOptions& options, HostOutput& out);

}  // namespace meterhost
