#include "kpmcheck/neighbours.h"

#include <json/version.h>

#include <cstdlib>
#include <sstream>

#include "kpmcheck/elf_facts.h"
#include "kpmcheck/runtime_files.h"
#include "kpmcheck/version_names.h"

namespace kpmcheck {

namespace {

// What this check and the module were built with, set by the build.
constexpr char kBuiltLibstdcxx[] = KPM_BUILT_LIBSTDCXX;        // libstdc++.so.6.0.30
constexpr char kBuiltJsoncppSoname[] = KPM_BUILT_JSONCPP_SONAME;  // libjsoncpp.so.25
constexpr char kBuiltJsoncppFile[] = KPM_BUILT_JSONCPP_FILE;      // libjsoncpp.so.1.9.5
constexpr char kLibstdcxx[] = "libstdc++.so.6";
constexpr char kJsoncppPrefix[] = "libjsoncpp.so";

std::vector<std::string> split_path_list(const char* list)
{
    std::vector<std::string> folders;
    if (list == nullptr)
        return folders;
    std::istringstream entries(list);
    for (std::string folder; std::getline(entries, folder, ':');)
        if (!folder.empty())
            folders.push_back(folder);
    return folders;
}

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

// The folders a host's loader looks through for jsoncpp, most specific first.
std::vector<std::string> library_folders(const std::vector<std::string>& extra_folders)
{
    std::vector<std::string> folders = extra_folders;
    for (const std::string& folder : split_path_list(std::getenv("LD_LIBRARY_PATH")))
        folders.push_back(folder);
    for (const char* soname : {"libc.so.6", kLibstdcxx}) {
        const LibraryFile file = loader_file_for(soname);
        if (!file.path.empty())
            folders.push_back(folder_of(file.path));
    }
    for (const char* folder : {"/lib", "/usr/lib", "/usr/local/lib"})
        folders.push_back(folder);
    return folders;
}

void report_jsoncpp(const std::vector<std::string>& extra_folders, ItemSink& out)
{
    const LibraryFile own = loader_file_for(kBuiltJsoncppSoname);
    const std::string built = std::string("built against jsoncpp ") + JSONCPP_VERSION_STRING +
                              " (" + kBuiltJsoncppFile + ", " + kBuiltJsoncppSoname + ")" +
                              (own.path.empty() ? "" : ", which this check runs with from " + own.path);
    const std::vector<std::string> folders = library_folders(extra_folders);
    const std::vector<std::string> found =
        files_named(folders, kJsoncppPrefix, own.path.empty() ? "" : folder_of(own.path));
    if (found.empty()) {
        std::string looked;
        for (const std::string& folder : folders)
            looked += (looked.empty() ? "" : ", ") + folder;
        out.add(Status::Info, "jsoncpp",
                "no shared jsoncpp in " + looked + ": the host may have it built in, and it must be "
                "the one the module was " + built + "; --lib-dir adds the host's library folder");
        return;
    }
    std::string gateway;
    bool all_match = true;
    for (const std::string& path : found) {
        const std::string soname = read_elf_facts(path).soname;
        gateway += (gateway.empty() ? "" : ", ") + path + " (" + (soname.empty() ? "no soname" : soname) + ")";
        all_match = all_match && soname == kBuiltJsoncppSoname && real_file_name(path) == kBuiltJsoncppFile;
    }
    if (all_match)
        out.add(Status::Ok, "jsoncpp", "gateway: " + gateway + "; the module was " + built);
    else
        out.add(Status::Warning, "jsoncpp",
                "gateway: " + gateway + "; the module was " + built +
                    ": Json::Value crosses between host and module, so the host must use that "
                    "jsoncpp, or the module must be built against the host's");
}

}  // namespace

void report_neighbours(const std::vector<std::string>& extra_folders, ItemSink& out)
{
    out.step("neighbours");
    report_libstdcxx(out);
    report_jsoncpp(extra_folders, out);
}

}  // namespace kpmcheck
