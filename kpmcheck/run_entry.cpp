// The entry of lib/kpm-check-run.so (kpmcheck/run_part.h): its name is
// kRunPartEntry, which kpm-check looks up.
#include "kpmcheck/item_lines.h"
#include "kpmcheck/module_exercise.h"
#include "kpmcheck/run_part.h"

extern "C" __attribute__((visibility("default"))) void kpm_check_run_module(const char* module_path,
                                                                             int fd)
{
    kpmcheck::LineSink sink(fd);
    kpmcheck::exercise_module(module_path, sink);
}
