#include "fuzz/harness/fuzz_check.h"

#include <cstdio>
#include <cstdlib>

namespace fuzzharness {

void fail(const char* file, int line, const char* condition, const std::string& detail)
{
    std::fprintf(stderr, "%s:%d: check failed: %s\n  %s\n", file, line, condition,
                 detail.c_str());
    std::fflush(stderr);
    std::abort();
}

}  // namespace fuzzharness
