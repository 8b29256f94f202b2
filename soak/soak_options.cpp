#include "soak/soak_options.h"

#include <cstdlib>

namespace soak {

const char kSoakUsage[] =
    "usage: kpm_soak [--seconds S] [--seed N] [--module PATH] [--readers N] [--rss-margin-kib N]\n";

bool parse_soak_options(int argc, char** argv, SoakOptions& options, std::string& error)
{
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (i + 1 >= argc) {
            error = option + " needs a value";
            return false;
        }
        const std::string value = argv[++i];
        char* end = nullptr;
        if (option == "--seconds") {
            options.seconds = std::strtod(value.c_str(), &end);
            if (*end != '\0' || !(options.seconds > 0))
                error = "--seconds needs a positive number";
        } else if (option == "--seed") {
            options.seed = static_cast<std::uint32_t>(std::strtoul(value.c_str(), &end, 0));
            if (*end != '\0')
                error = "--seed needs a whole number";
        } else if (option == "--module") {
            options.module = value;
        } else if (option == "--readers") {
            options.readers = static_cast<int>(std::strtol(value.c_str(), &end, 10));
            if (*end != '\0' || options.readers < 0 || options.readers > 16)
                error = "--readers needs 0 to 16";
        } else if (option == "--rss-margin-kib") {
            options.rss_margin_kib = std::strtol(value.c_str(), &end, 10);
            if (*end != '\0' || options.rss_margin_kib < 0)
                error = "--rss-margin-kib needs a whole number";
        } else {
            error = "unknown option " + option;
        }
        if (!error.empty())
            return false;
    }
    return true;
}

}  // namespace soak
