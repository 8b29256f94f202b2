#include "soak/diagnostic_lines.h"

#include <cerrno>
#include <cstring>
#include <iostream>
#include <stdexcept>

#include <fcntl.h>
#include <unistd.h>

#include "devhost/meterhost/descriptor_lines.h"
#include "soak/meter_under_test.h"

namespace soak {

namespace {

constexpr char kRoundPrefix[] = "rvSize is ";
constexpr char kErrorLine[] = "SPModbus get error";

std::runtime_error system_error(const char* what)
{
    return std::runtime_error(std::string("cannot catch standard output: ") + what + ": " +
                              std::strerror(errno));
}

}  // namespace

DiagnosticLine classify_diagnostic_line(const std::string& line)
{
    if (line == kErrorLine)
        return DiagnosticLine::Error;
    const std::size_t prefix = sizeof kRoundPrefix - 1;
    if (line.size() > prefix && line.compare(0, prefix, kRoundPrefix) == 0 &&
        line.find_first_not_of("0123456789", prefix) == std::string::npos &&
        (line[prefix] != '0' || line.size() == prefix + 1))
        return DiagnosticLine::Round;
    return DiagnosticLine::Other;
}

DiagnosticLines::DiagnosticLines()
{
    std::cout.flush();
    std::fflush(stdout);
    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0)
        throw system_error("pipe");
    original_ = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    const int summary = original_ < 0 ? -1 : ::fcntl(original_, F_DUPFD_CLOEXEC, 3);
    if (summary < 0 || ::dup2(pipe_fds[1], STDOUT_FILENO) < 0)
        throw system_error("dup2");
    ::close(pipe_fds[1]);  // standard output is now the pipe's only writer
    summary_ = ::fdopen(summary, "w");
    if (summary_ == nullptr)
        throw system_error("fdopen");
    reader_ = std::thread([this, fd = pipe_fds[0]] { read_lines(fd); });
}

DiagnosticLines::~DiagnosticLines()
{
    if (reader_.joinable())
        finish();
    std::fclose(summary_);
    ::close(original_);
}

DiagnosticCounts DiagnosticLines::finish()
{
    std::cout.flush();
    std::fflush(stdout);
    ::dup2(original_, STDOUT_FILENO);  // the pipe's last writer goes: the reader sees its end
    reader_.join();
    return counts_;
}

void DiagnosticLines::read_lines(int fd)
{
    meterhost::read_lines_to_end(fd, [this](const std::string& line, bool) {
        switch (classify_diagnostic_line(line)) {
        case DiagnosticLine::Round:
            ++counts_.round_lines;
            break;
        case DiagnosticLine::Error:
            ++counts_.error_lines;
            break;
        case DiagnosticLine::Other:
            ++counts_.other_lines;
            note_problem(counts_.samples, line.substr(0, 80));
            break;
        }
    });
    ::close(fd);
}

}  // namespace soak
