// Runs part of the check in a child process, so that a module which
// crashes the process (a layout that differs across the boundary, a
// misaligned access trapping) is reported as a failure of the step it was
// in, and the report still gets written. Items come back through a pipe.
#pragma once

#include <functional>

#include "kpmcheck/item_lines.h"
#include "kpmcheck/report.h"

namespace kpmcheck {

void run_isolated(const std::function<void(LineSink&)>& work, ItemSink& out);

}  // namespace kpmcheck
