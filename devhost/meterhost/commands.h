// What meterhost does: poll and write with a set-up session, scan a line.
#pragma once

#include <functional>
#include <string>

#include "devhost/meterhost/bench_session.h"
#include "devhost/meterhost/command_line.h"
#include "devhost/meterhost/host_messages.h"
#include "devhost/meterhost/host_output.h"

namespace devhost {
class LineObserver;
}

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

// A scan that found no meter.
constexpr int kExitNoMeterFound = 1;
// A scan that lost its line part way, whatever it found before: what it
// printed is not every meter on the line.
constexpr int kExitScanLineLost = 3;

// Finds the meters on the one --port line (scan_plan.h), printing each as it
// is found; 0 when it found any, kExitNoMeterFound or kExitScanLineLost
// otherwise. Throws SetupFailure.
int run_scan(const HostOptions& options, HostOutput& out, const Reporter& report,
             devhost::LineObserver* trace);

}  // namespace meterhost
