#include "soak/diagnostic_lines.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <unistd.h>

#include "devhost/meterhost/module_output_tap.h"
#include "soak/meter_under_test.h"

namespace soak {

namespace {

std::runtime_error system_error(const char* what)
{
    return std::runtime_error(std::string("cannot catch standard output: ") + what + ": " +
                              std::strerror(errno));
}

}  // namespace

DiagnosticLines::DiagnosticLines()
{
    original_ = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    const int summary = original_ < 0 ? -1 : ::fcntl(original_, F_DUPFD_CLOEXEC, 3);
    if (summary < 0)
        throw system_error("dup");
    summary_ = ::fdopen(summary, "w");
    if (summary_ == nullptr)
        throw system_error("fdopen");
    tap_ = std::make_unique<meterhost::ModuleOutputTap>(
        [this](const std::string& line, bool ended) {
            if (counts_.count(line, ended) == meterhost::ModuleLine::Other)
                note_problem(counts_.samples, line.substr(0, 80));
        },
        original_);
}

DiagnosticLines::~DiagnosticLines()
{
    tap_.reset();
    std::fclose(summary_);
    ::close(original_);
}

DiagnosticCounts DiagnosticLines::finish()
{
    tap_->finish();
    return counts_;
}

}  // namespace soak
