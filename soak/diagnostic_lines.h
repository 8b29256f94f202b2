// The module's diagnostic lines, caught where it writes them (standard
// output, through meterhost's tap) and counted by meterhost's one rule
// (module_lines.h): every line must be whole, "rvSize is N" or "SPModbus get
// error". Lines written by devices on different line threads at once must
// never run into each other. The soak's own output goes to a duplicate of
// the original standard output.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "devhost/meterhost/module_lines.h"

namespace meterhost {
class ModuleOutputTap;
}

namespace soak {

struct DiagnosticCounts : meterhost::ModuleLineCounts {
    std::vector<std::string> samples;  // the first few of the other lines
};

class DiagnosticLines {
public:
    // Throws std::runtime_error when the descriptors cannot be rearranged.
    DiagnosticLines();
    ~DiagnosticLines();
    DiagnosticLines(const DiagnosticLines&) = delete;
    DiagnosticLines& operator=(const DiagnosticLines&) = delete;

    std::FILE* summary() const { return summary_; }

    // Points standard output back where it went, reads what is left in the
    // pipe and returns the counts; an unfinished last line counts as other.
    DiagnosticCounts finish();

private:
    int original_ = -1;  // where standard output went
    std::FILE* summary_ = nullptr;
    DiagnosticCounts counts_;
    std::unique_ptr<meterhost::ModuleOutputTap> tap_;
};

}  // namespace soak
