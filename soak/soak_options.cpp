#include "soak/soak_options.h"

#include "cli/option_table.h"
#include "cli/values.h"

namespace soak {

namespace {

// A soak is meant to run for minutes to hours; a month is past any use.
constexpr double kLongestSoakSeconds = 30 * 24 * 3600;
// A tebibyte: past any margin that would still tell a leak.
constexpr long kLargestRssMarginKib = 1L << 30;

std::string set_seconds(SoakOptions& o, const std::string& option, const std::string& value)
{
    double seconds = 0;
    if (!cli::read_seconds(value, kLongestSoakSeconds, seconds) || seconds == 0)
        return option + " needs seconds above 0, up to " +
               std::to_string(static_cast<long>(kLongestSoakSeconds)) + ", not '" + value + "'";
    o.seconds = seconds;
    return "";
}

const cli::Command<SoakOptions> kCommand{
    {
        {"--seconds", "S", cli::kEveryMode, set_seconds, "how long to run (default 600)"},
        {"--seed", "N", cli::kEveryMode,
         cli::whole_number<SoakOptions>(
             0, 0xFFFFFFFFL,
             [](SoakOptions& o, long n) { o.seed = static_cast<std::uint32_t>(n); }),
         "draws the fault plans (default: from the clock; the\nsummary prints it)"},
        {"--module", "PATH", cli::kEveryMode, cli::text(&SoakOptions::module, "a path"),
         "the module to load (default: the one built with\nthe soak)"},
        {"--readers", "N", cli::kEveryMode,
         cli::whole_number<SoakOptions>(
             0, 16, [](SoakOptions& o, long n) { o.readers = static_cast<int>(n); }),
         "threads requesting snapshots and values (default 2)"},
        {"--rss-margin-kib", "N", cli::kEveryMode,
         cli::whole_number<SoakOptions>(0, kLargestRssMarginKib,
                                        [](SoakOptions& o, long n) { o.rss_margin_kib = n; }),
         "how far peak RSS may grow after the warm-up (default\n2048)"},
        cli::help_request<SoakOptions>("--help", "show this text"),
    },
    {"usage: kpm_soak [--seconds S] [--seed N] [--module PATH] [--readers N] "
     "[--rss-margin-kib N]\n\n"},
    23,
};

}  // namespace

ParsedSoakOptions parse_soak_options(const std::vector<std::string>& args,
                                     const SoakOptions& defaults)
{
    ParsedSoakOptions parsed;
    parsed.options = defaults;
    const cli::Parsed words = cli::parse(kCommand, args, parsed.options);
    parsed.ok = words.ok;
    parsed.help = words.help;
    parsed.error = words.error;
    return parsed;
}

std::string soak_help_text() { return cli::help_text(kCommand); }

}  // namespace soak
