// Property checks inside fuzz targets. A failed check is a finding: it prints
// what was expected and aborts, which libFuzzer reports as a crash and keeps
// the input that caused it.
#pragma once

#include <string>

namespace fuzzharness {

[[noreturn]] void fail(const char* file, int line, const char* condition, const std::string& detail);

}  // namespace fuzzharness

// `detail` is evaluated only when the check fails.
#define FUZZ_CHECK(condition, detail) \
    ((condition) ? (void)0 : ::fuzzharness::fail(__FILE__, __LINE__, #condition, (detail)))
