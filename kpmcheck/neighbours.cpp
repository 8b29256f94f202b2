#include "kpmcheck/neighbours.h"

#include "kpmcheck/elf_facts.h"
#include "kpmcheck/runtime_files.h"
#include "kpmcheck/version_names.h"

namespace kpmcheck {

namespace {

// What this check and the module were built with, set by the build.
constexpr char kBuiltLibstdcxx[] = KPM_BUILT_LIBSTDCXX;        // libstdc++.so.6.0.30
constexpr char kLibstdcxx[] = "libstdc++.so.6";

void report_libstdcxx(ItemSink& out)
{
    const LibraryFile file = loader_file_for(kLibstdcxx);
    const std::string built = std::string("built with GCC ") + __VERSION__ + " and " + kBuiltLibstdcxx;
    if (file.path.empty()) {
        out.add(Status::Failure, "libstdc++", "not found: " + file.error + "; " + built);
        return;
    }
    const ElfFacts facts = read_elf_facts(file.path);
    out.add(Status::Ok, "libstdc++",
            file.path + " (" + real_file_name(file.path) + ", up to " +
                listed(newest_per_space(facts.version_definitions)) + "); " + built);
}

}  // namespace

void report_neighbours(ItemSink& out)
{
    out.step("neighbours");
    report_libstdcxx(out);
}

}  // namespace kpmcheck
