// The two things meterhost does with a set-up session.
#pragma once

#include "bench_session.h"
#include "command_line.h"
#include "host_output.h"

namespace meterhost {

// Polls until --rounds completed rounds or a stop signal; returns the exit status.
int run_poll(BenchSession& session, const HostOptions& options, HostOutput& out);

// One register write and its outcome; 0 confirmed, 1 not.
int run_write(BenchSession& session, const HostOptions& options, HostOutput& out);

}  // namespace meterhost
