// What the module file alone shows about loading it here: its header, MIPS
// ABI and the symbol versions it needs, against the C library this check
// runs with and the library files the loader would bind the module to.
#pragma once

#include <string>

#include "kpmcheck/report.h"

namespace kpmcheck {

// One item per aspect. True when nothing found would make loading fail or
// unsafe; false means the module must not be loaded.
bool check_module_file(const std::string& module_path, ItemSink& out);

}  // namespace kpmcheck
