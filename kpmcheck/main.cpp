// kpm-check: the module's self-test on a gateway's own runtime. Reads the
// module file first and stops there if the file shows it cannot load here;
// then loads and runs it against known answers, in a child process; then
// reports the libraries it shares the host with.
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "kpmcheck/isolated_run.h"
#include "kpmcheck/module_exercise.h"
#include "devhost/runtime/module_identity.h"
#include "kpmcheck/neighbours.h"
#include "kpmcheck/preload_checks.h"
#include "kpmcheck/report.h"
#include "kpmcheck/runtime_files.h"

namespace {

constexpr char kModuleName[] = "kalvorpowermeter";
constexpr char kModuleFile[] = "kalvorpowermeter.so";

constexpr char kUsage[] = R"(usage: kpm-check [--json] [--lib-dir DIR]... [MODULE]

Checks that the module fits this gateway's runtime and computes what it
should, in about ten seconds. MODULE defaults to kalvorpowermeter.so in the
folder of kpm-check.

  1. Reads the module file without loading it: ELF class, byte order,
     machine, and on MIPS the ABI, instruction set and float ABI, against
     the C library kpm-check runs with; the symbol versions it needs against
     those the libraries the loader would use define. Anything that would
     make loading fail or unsafe ends the check here: the module is not
     loaded ("load  not tried").
  2. Loads the module with dlopen as the host does and drives one device
     through a round from fixed registers, a round from a cached record, the
     snapshot text (801) and object (803), Get_Value, a single and a multiple
     register write, comparing every answer with the known one. This runs in
     a child process, so a crash is reported with the step it happened in.
  3. Reports the libstdc++ and jsoncpp found here beside those the module
     was built against; a different jsoncpp is a warning.

One line per item: ok, -- (information), WARN or FAIL, the item, and what
was found (for a failure: what differs and what to do). The last line is
the verdict.

Options:
  --json         the same report as one JSON object on one line
  --lib-dir DIR  a folder where the host keeps its own libraries, searched
                 for jsoncpp before the usual ones; may be repeated
  --help         this text

Exit status: 0 everything matched; 1 a check failed; 3 every answer matched
but with warnings; 2 a bad command line.
)";

struct Options {
    bool json = false;
    bool help = false;
    std::vector<std::string> lib_dirs;
    std::string module;
};

// False, with a message, for a command line it cannot take.
bool parse(int argc, char** argv, Options& options, std::string& error)
{
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--json") {
            options.json = true;
        } else if (argument == "--help" || argument == "-h") {
            options.help = true;
        } else if (argument == "--lib-dir") {
            if (i + 1 == argc) {
                error = "--lib-dir needs a folder";
                return false;
            }
            options.lib_dirs.push_back(argv[++i]);
        } else if (argument.size() > 1 && argument[0] == '-') {
            error = "unknown option " + argument;
            return false;
        } else if (!options.module.empty()) {
            error = "one module at a time: " + options.module + " and " + argument;
            return false;
        } else {
            options.module = argument;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    using namespace kpmcheck;
    Options options;
    std::string error;
    if (!parse(argc, argv, options, error)) {
        std::cerr << "kpm-check: " << error << "\n(kpm-check --help tells more)\n";
        return kExitUsage;
    }
    if (options.help) {
        std::cout << kUsage;
        return kExitPass;
    }
    if (options.module.empty())
        options.module = own_folder() + "/" + kModuleFile;

    Report report(std::cout, options.json, std::string("kpm-check ") + KPM_CHECK_VERSION,
                  options.module);
    const devhost::ModuleIdentity identity = devhost::read_module_identity(options.module);
    const std::string built_for = std::string(kModuleName) + " " + KPM_CHECK_VERSION;
    if (identity.version == built_for)
        report.add(Status::Ok, "version", identity.version + ", the version this check knows");
    else
        report.add(Status::Warning, "version",
                   (identity.version.empty() ? "none found" : identity.version) +
                       "; this check knows the answers of " + built_for +
                       ": use the kpm-check of the module's own release");
    report.add(Status::Info, "build id",
               identity.build_id.empty() ? "none found" : identity.build_id);

    if (check_module_file(options.module, report))
        run_isolated([&](ItemSink& sink) { exercise_module(options.module, sink); }, report);
    else
        report.add(Status::Info, "load", "not tried: the file shows the module cannot load here");

    report_neighbours(options.lib_dirs, report);
    report.finish();
    return report.exit_status();
}
