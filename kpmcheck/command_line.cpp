#include "kpmcheck/command_line.h"

#include "cli/option_table.h"

namespace kpmcheck {

namespace {

constexpr char kIntroduction[] = R"(usage: kpm-check [--json] [--lib-dir DIR]... [MODULE]

Checks that the module fits this gateway's runtime and computes what it
should, in about ten seconds. MODULE defaults to kalvorpowermeter.so in the
folder of kpm-check.

  1. Reads the module file without loading it: ELF class, byte order,
     machine, and on MIPS the ABI, instruction set and float ABI, against
     the C library kpm-check runs with; the symbol versions it needs against
     those the libraries the loader would use define. Anything that would
     make loading fail or unsafe ends the check here: the module is not
     loaded ("load  not tried").
  2. Loads the module with dlopen as the host does, with the jsoncpp a host
     here would give it (below), and drives one device
     through a round from fixed registers, a round from a cached record, the
     snapshot text (801) and object (803), Get_Value, a single and a multiple
     register write, comparing every answer with the known one. This runs in
     a child process, so a crash is reported with the step it happened in.
  3. Reports the libstdc++ found here beside the one the module was built
     with, and the jsoncpp it ran with beside the one it was built against.

The jsoncpp is the first libjsoncpp.so* in the --lib-dir folders, then in
the folders the loader searches (LD_LIBRARY_PATH, those of the C library
and the C++ runtime, /lib, /usr/lib, /usr/local/lib), whatever its soname;
the copy in lib/ beside kpm-check only when there is none. Another version
than the module was built against is a warning when every answer matched,
a failure when one did not.

One line per item: ok, -- (information), WARN or FAIL, the item, and what
was found (for a failure: what differs and what to do). The last line is
the verdict.

Options:
)";

constexpr char kExitStatus[] = R"(
Exit status: 0 everything matched; 1 a check failed; 3 every answer matched
but with warnings; 2 a bad command line.
)";

const cli::Command<Options>& command()
{
    static const cli::Command<Options> table{
        {
            {"--json", "", cli::kEveryMode,
             [](Options& o, const std::string&, const std::string&) {
                 o.json = true;
                 return std::string();
             },
             "the same report as one JSON object on one line"},
            {"--lib-dir", "DIR", cli::kEveryMode,
             [](Options& o, const std::string& option, const std::string& value) {
                 if (value.empty())
                     return option + " needs a folder";
                 o.lib_dirs.push_back(value);
                 return std::string();
             },
             "a folder where the host keeps its own libraries, searched\n"
             "for jsoncpp before the loader's; may be repeated"},
            cli::help_request<Options>("--help", "this text"),
            cli::help_request<Options>("-h", ""),
        },
        {kIntroduction, kExitStatus},
        17,
        {cli::Mode{"", "the check", true}},
    };
    return table;
}

}  // namespace

bool parse_command_line(const std::vector<std::string>& args, Options& options,
                        std::string& error)
{
    const cli::Parsed parsed = cli::parse(command(), args, options);
    if (!parsed.ok) {
        error = parsed.error;
        return false;
    }
    options.help = parsed.help;
    for (const std::string& operand : parsed.operands) {
        // Only "--" words are options to the table; a "-x" is one too here.
        if (operand.size() > 1 && operand[0] == '-') {
            error = "unknown option '" + operand + "'";
            return false;
        }
    }
    if (parsed.operands.size() > 1) {
        error = "one module at a time: " + parsed.operands[0] + " and " + parsed.operands[1];
        return false;
    }
    if (!parsed.operands.empty())
        options.module = parsed.operands.front();
    return true;
}

std::string help_text() { return cli::help_text(command()); }

}  // namespace kpmcheck
