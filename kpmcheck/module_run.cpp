#include "kpmcheck/module_run.h"

#include <dlfcn.h>

#include "kpmcheck/run_part.h"

namespace kpmcheck {

namespace {

std::string loader_error()
{
    const char* error = dlerror();
    return error != nullptr ? error : "no reason given";
}

}  // namespace

void run_module_with(const std::string& jsoncpp_file, const std::string& run_part,
                     const std::string& module_path, LineSink& out)
{
    out.step("load");
    dlerror();
    if (dlopen(jsoncpp_file.c_str(), RTLD_NOW | RTLD_GLOBAL) == nullptr) {
        out.add(Status::Failure, "load",
                "not tried: jsoncpp " + jsoncpp_file + " does not load: " + loader_error());
        return;
    }
    // The host framework's operations it defines must be visible to the
    // module, as a host process's are.
    void* part = dlopen(run_part.c_str(), RTLD_NOW | RTLD_GLOBAL);
    if (part == nullptr) {
        out.add(Status::Failure, "load",
                "not tried: " + run_part + " does not load with jsoncpp " + jsoncpp_file + ": " +
                    loader_error());
        return;
    }
    const auto entry = reinterpret_cast<RunPartEntry>(dlsym(part, kRunPartEntry));
    if (entry == nullptr) {
        out.add(Status::Failure, "load",
                "not tried: " + run_part + " lacks " + kRunPartEntry + ": " + loader_error());
        return;
    }
    entry(module_path.c_str(), out.fd());
}

}  // namespace kpmcheck
