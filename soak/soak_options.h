// The soak's command line: how long, with which seed and module, how many
// reader threads, and how much the peak resident memory may grow after the
// warm-up. Its options are one table (cli/option_table.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace soak {

struct SoakOptions {
    double seconds = 600;
    std::uint32_t seed = 0;
    std::string module;
    int readers = 2;
    long rss_margin_kib = 2048;
};

struct ParsedSoakOptions {
    bool ok = false;
    bool help = false;  // --help: print soak_help_text() and nothing else
    SoakOptions options;
    std::string error;  // one line, for "kpm_soak: <error>"
};

// args: the arguments after the program name; `defaults` holds the values
// of what is not given (the seed: the clock's).
ParsedSoakOptions parse_soak_options(const std::vector<std::string>& args,
                                     const SoakOptions& defaults);

std::string soak_help_text();

}  // namespace soak
