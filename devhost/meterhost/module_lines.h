// The module's diagnostic lines on its standard output, told apart by one
// rule for everything that counts them (the live view, the scan's progress
// line, the soak). The module writes each line whole: "rvSize is N" once per
// completed round, N in decimal as it prints numbers (no sign, no leading
// zero), and "SPModbus get error" once per failed exchange. Anything else,
// lines run together or a line cut off before its line feed included, is
// another line.
#pragma once

#include <string>

namespace meterhost {

enum class ModuleLine { Round, Error, Other };

// line: without its line feed; ended: whether one followed it.
ModuleLine classify_module_line(const std::string& line, bool ended = true);

struct ModuleLineCounts {
    unsigned long round_lines = 0;  // "rvSize is N"
    unsigned long error_lines = 0;  // "SPModbus get error"
    unsigned long other_lines = 0;  // torn, run together, or unknown

    // Counts the line by its kind and returns the kind.
    ModuleLine count(const std::string& line, bool ended = true);
    unsigned long total() const { return round_lines + error_lines + other_lines; }
};

}  // namespace meterhost
