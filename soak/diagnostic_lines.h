// The module's diagnostic lines, caught where it writes them: standard
// output (file descriptor 1) is turned into a pipe that a thread reads, and
// every line must be whole, exactly "rvSize is N" (one per completed round)
// or "SPModbus get error" (one per failed exchange). Lines written by devices
// on different line threads at once must never run into each other.
// The soak's own output goes to a duplicate of the original standard output.
#pragma once

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace soak {

enum class DiagnosticLine { Round, Error, Other };

// What a line (without its line feed) is.
DiagnosticLine classify_diagnostic_line(const std::string& line);

struct DiagnosticCounts {
    unsigned long round_lines = 0;
    unsigned long error_lines = 0;
    unsigned long other_lines = 0;  // torn, run together, or unknown
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
    void read_lines(int fd);

    int original_ = -1;  // where standard output went
    std::FILE* summary_ = nullptr;
    std::thread reader_;
    DiagnosticCounts counts_;
};

}  // namespace soak
