// kpm_soak: meterhost's bench session driving the real module over two
// simulated lines of several meters for a bounded time, each line on its
// own thread as meterhost runs them, one meter dead, with faults at random,
// the pseudo-terminals closed and reopened under the host's feet, snapshot
// and value requests from other threads and register writes between polls.
// Prints a summary; exits 0 when every check held, 1 when one failed, 2 on a
// bad command line or set-up.
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include <unistd.h>

#include "devhost/meterhost/bench_session.h"
#include "soak/diagnostic_lines.h"
#include "soak/soak_options.h"
#include "soak/soak_run.h"
#include "soak/verdict.h"

int main(int argc, char** argv)
{
    soak::SoakOptions defaults;
    defaults.module = KPM_MODULE_PATH;
    defaults.seed =
        static_cast<std::uint32_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    const soak::ParsedSoakOptions parsed =
        soak::parse_soak_options(std::vector<std::string>(argv + 1, argv + argc), defaults);
    if (!parsed.ok) {
        std::fprintf(stderr, "kpm_soak: %s\nTry 'kpm_soak --help'.\n", parsed.error.c_str());
        return 2;
    }
    if (parsed.help) {
        std::fputs(soak::soak_help_text().c_str(), stdout);
        return 0;
    }
    const soak::SoakOptions& options = parsed.options;
    char folder[] = "/tmp/kpm-soak-XXXXXX";
    if (mkdtemp(folder) == nullptr) {
        std::fprintf(stderr, "kpm_soak: mkdtemp: %s\n", std::strerror(errno));
        return 2;
    }
    int status = 0;
    try {
        soak::DiagnosticLines diagnostics;
        try {
            const soak::Outcome outcome = soak::run_soak(options, folder, diagnostics);
            const auto failures = soak::verdict(options, outcome);
            soak::print_summary(diagnostics.summary(), options, outcome, failures);
            status = failures.empty() ? 0 : 1;
        } catch (const meterhost::SetupFailure& failure) {
            std::fprintf(stderr, "kpm_soak: cannot set up: %s\n", failure.what());
            status = 2;
        }
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "kpm_soak: %s\n", failure.what());
        status = 2;
    }
    rmdir(folder);
    return status;
}
