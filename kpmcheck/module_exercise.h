// Runs the module as the host does, with fixed inputs: load, a device
// configured, a round from a register block and one from a cached record,
// the snapshot as text (801) and object (803), the value query, a single
// and a multiple register write, every host operation recorded. Each answer
// is compared with the known one; one item per step.
#pragma once

#include <string>

#include "kpmcheck/report.h"

namespace kpmcheck {

// Loads the module into this process: call it only once the file checks
// passed, and in a process of its own (see isolated_run.h).
void exercise_module(const std::string& module_path, ItemSink& out);

}  // namespace kpmcheck
