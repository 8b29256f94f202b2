// What a soak run came to, the checks on the run as a whole, and the
// summary it prints. The record, write, snapshot and value checks run while
// the soak does and leave their counts and problems in the outcome; the
// verdict adds what only the whole run can show.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "soak/diagnostic_lines.h"
#include "soak/meter_under_test.h"
#include "soak/process_memory.h"
#include "soak/simulated_line.h"
#include "soak/snapshot_readers.h"
#include "soak/soak_options.h"

namespace soak {

struct LineOutcome {
    std::string name;
    std::string link;
    FaultCounts faults;
    unsigned long host_errors = 0;  // failed exchanges the host counted
    unsigned long unrecognised_log_lines = 0;
};

struct MeterOutcome {
    std::string name;
    std::string line;
    int slave = 0;
    bool dead = false;
    std::uint32_t data_id = 0;
    HostCounts counts;
    SlaveLog log;
    unsigned long offline_reports = 0;  // the host's offline events for it
};

struct Outcome {
    std::vector<LineOutcome> lines;
    std::vector<MeterOutcome> meters;
    HostCounts host;  // over every meter
    ReaderCounts readers;
    DiagnosticCounts diagnostics;
    unsigned long host_errors = 0;
    unsigned long host_messages = 0;
    unsigned long offline_reports = 0;
    unsigned long back_reports = 0;
    ResidentMemory after_warm_up;
    ResidentMemory at_end;
    std::vector<std::string> problems;  // from the checks made during the run
};

// Every check that failed, one line each; empty when the run passed.
std::vector<std::string> verdict(const SoakOptions& options, const Outcome& outcome);

// The summary, "soak: ..." lines ending in PASS or FAILED.
void print_summary(std::FILE* out, const SoakOptions& options, const Outcome& outcome,
                   const std::vector<std::string>& failures);

}  // namespace soak
