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
#include "kpmcheck/command_line.h"
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

}  // namespace

int main(int argc, char** argv)
{
    using namespace kpmcheck;
    Options options;
    std::string error;
    if (!parse_command_line(std::vector<std::string>(argv + 1, argv + argc), options, error)) {
        std::cerr << "kpm-check: " << error << "\n(kpm-check --help tells more)\n";
        return kExitUsage;
    }
    if (options.help) {
        std::cout << help_text();
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
