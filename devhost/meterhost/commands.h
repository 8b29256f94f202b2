// What meterhost does: poll and write through a bench session, scan a line.
#pragma once

#include "devhost/meterhost/bench_session.h"
#include "devhost/meterhost/command_line.h"
#include "devhost/meterhost/host_config.h"
#include "devhost/meterhost/host_messages.h"
#include "devhost/meterhost/host_output.h"
#include "devhost/meterhost/reporter.h"

namespace meterhost {

// A polling run that ended with a meter offline short of its --rounds.
constexpr int kExitMeterOffline = 1;

// Every frame of the run's lines goes to `trace`, named by its meter (null
// for none). Each
// throws SetupFailure when the run cannot start.

// Polls every line until --rounds or a stop signal; returns the exit status.
// On a terminal the meters show in the live view, which takes the messages.
int run_poll(const HostOptions& options, const HostConfig& config, HostOutput& out,
             HostMessages& messages, MeterFrameObserver* trace);

// One register write to the first meter and its outcome; 0 confirmed, 1 not.
int run_write(const HostOptions& options, const HostConfig& config, HostOutput& out,
              HostMessages& messages, MeterFrameObserver* trace);

// A scan that found no meter.
constexpr int kExitNoMeterFound = 1;
// A scan that lost its line part way, whatever it found before: what it
// printed is not every meter on the line.
constexpr int kExitScanLineLost = 3;

// Finds the meters on the one --port line (scan_plan.h), printing each as it
// is found; 0 when it found any, kExitNoMeterFound or kExitScanLineLost
// otherwise. Throws SetupFailure.
int run_scan(const HostOptions& options, HostOutput& out, const Reporter& report,
             MeterFrameObserver* trace);

}  // namespace meterhost
