// One soak run: the simulated lines and their meters, meterhost's bench
// session over them with the soak's checks on its events, the reader
// threads and the terminal reopenings, for the time asked; then what came
// of it, for the verdict (verdict.h).
#pragma once

#include <string>

#include "soak/diagnostic_lines.h"
#include "soak/soak_options.h"
#include "soak/verdict.h"

namespace soak {

// folder: where the lines' links go. Throws meterhost::SetupFailure when
// the session cannot start.
Outcome run_soak(const SoakOptions& options, const std::string& folder,
                 DiagnosticLines& diagnostics);

}  // namespace soak
