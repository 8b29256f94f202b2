// kpm-check: the module's self-test on a gateway's own runtime. Reads the
// module file first and stops there if the file shows it cannot load here;
// then loads and runs it against known answers, in a child process, with
// the jsoncpp a host here would give it; then reports the libraries it
// shares the host with. This program uses no floating point and needs only
// the C and C++ runtime, so that it starts on a gateway of any float ABI;
// the part that runs the module (lib/kpm-check-run.so) is loaded only when
// the module itself can load.
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "devhost/runtime/module_identity.h"
#include "kpmcheck/isolated_run.h"
#include "kpmcheck/jsoncpp_choice.h"
#include "kpmcheck/module_run.h"
#include "kpmcheck/neighbours.h"
#include "kpmcheck/preload_checks.h"
#include "kpmcheck/report.h"
#include "kpmcheck/run_part.h"
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
  --json         the same report as one JSON object on one line
  --lib-dir DIR  a folder where the host keeps its own libraries, searched
                 for jsoncpp before the loader's; may be repeated
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

    const std::string own_lib = own_folder() + "/lib";
    const JsoncppChoice jsoncpp = choose_jsoncpp(options.lib_dirs, own_lib);
    bool ran = false;
    bool answers_differ = false;
    if (!check_module_file(options.module, report)) {
        report.add(Status::Info, "load", "not tried: the file shows the module cannot load here");
    } else if (jsoncpp.file.empty()) {
        report.add(Status::Info, "load", "not tried: no jsoncpp to run it with (the jsoncpp line)");
    } else {
        const std::size_t before = report.items().size();
        ran = true;
        run_isolated(
            [&](LineSink& sink) {
                run_module_with(jsoncpp.file, own_lib + "/" + kRunPartFile, options.module, sink);
            },
            report);
        for (std::size_t i = before; i < report.items().size(); ++i)
            answers_differ = answers_differ || report.items()[i].status == Status::Failure;
    }

    report_neighbours(report);
    report_jsoncpp(jsoncpp, ran, answers_differ, report);
    report.finish();
    return report.exit_status();
}
