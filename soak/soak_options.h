// The soak's command line: how long, with which seed and module, how many
// reader threads, and how much the peak resident memory may grow after the
// warm-up.
#pragma once

#include <cstdint>
#include <string>

namespace soak {

struct SoakOptions {
    double seconds = 600;
    std::uint32_t seed = 0;
    std::string module;
    int readers = 2;
    long rss_margin_kib = 2048;
};

extern const char kSoakUsage[];

// args: the arguments after the program name; `options` holds the defaults
// (the seed: the clock's) and takes what is given. False with the error
// when an option is unknown or its value unusable.
bool parse_soak_options(int argc, char** argv, SoakOptions& options, std::string& error);

}  // namespace soak
