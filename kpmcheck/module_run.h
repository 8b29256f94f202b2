// Runs the module's known answers with a chosen jsoncpp, as a host process
// gives it one: jsoncpp is loaded first, into the global scope, then the
// part of kpm-check that drives the module (kpmcheck/run_part.h). Called in
// the child process of run_isolated.
#pragma once

#include <string>

#include "kpmcheck/item_lines.h"

namespace kpmcheck {

void run_module_with(const std::string& jsoncpp_file, const std::string& run_part,
                     const std::string& module_path, LineSink& out);

}  // namespace kpmcheck
