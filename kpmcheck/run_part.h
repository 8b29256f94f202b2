// The part of kpm-check that runs the module: lib/kpm-check-run.so, loaded
// in the child process once the file checks pass, after the jsoncpp the
// module is to run with. It leaves jsoncpp's symbols to the process, as the
// module does, and exports the host framework's operations to the module.
#pragma once

namespace kpmcheck {

// The file name in lib/ beside kpm-check, and its one entry.
constexpr char kRunPartFile[] = "kpm-check-run.so";
constexpr char kRunPartEntry[] = "kpm_check_run_module";

// Loads the module and drives it through the known inputs, writing one
// message line per step and item (kpmcheck/item_lines.h) to fd.
using RunPartEntry = void (*)(const char* module_path, int fd);

}  // namespace kpmcheck
