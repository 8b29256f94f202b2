#include "kpmcheck/jsoncpp_choice.h"

#include <json/version.h>

#include <cstdlib>
#include <sstream>

#include "kpmcheck/elf_facts.h"
#include "kpmcheck/runtime_files.h"

namespace kpmcheck {

namespace {

// What the module and this check were built against, set by the build.
constexpr char kBuiltJsoncppSoname[] = KPM_BUILT_JSONCPP_SONAME;  // libjsoncpp.so.25
constexpr char kBuiltVersion[] = JSONCPP_VERSION_STRING;
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

// The folders a host's loader looks through, in its order: LD_LIBRARY_PATH,
// then the system's (those of the C library and the C++ runtime, then the
// standard ones).
std::vector<std::string> loader_folders()
{
    std::vector<std::string> folders = split_path_list(std::getenv("LD_LIBRARY_PATH"));
    for (const char* soname : {"libc.so.6", "libstdc++.so.6"}) {
        const LibraryFile file = loader_file_for(soname);
        if (!file.path.empty())
            folders.push_back(folder_of(file.path));
    }
    for (const char* folder : {"/lib", "/usr/lib", "/usr/local/lib"})
        folders.push_back(folder);
    return folders;
}

std::string listed_folders(const std::vector<std::string>& folders)
{
    std::string text;
    for (const std::string& folder : folders)
        text += (text.empty() ? "" : ", ") + folder;
    return text;
}

std::string source_name(JsoncppChoice::Source source)
{
    switch (source) {
    case JsoncppChoice::Source::CommandLine:
        return "command line";
    case JsoncppChoice::Source::LoaderFolders:
        return "loader folders";
    case JsoncppChoice::Source::Bundled:
        return "bundled";
    case JsoncppChoice::Source::None:
        break;
    }
    return "none";
}

}  // namespace

std::string version_in_file_name(const std::string& file_name)
{
    const std::size_t so = file_name.rfind(".so.");
    if (so == std::string::npos)
        return "";
    const std::string version = file_name.substr(so + 4);
    int dots = 0;
    for (const char c : version) {
        if (c == '.')
            ++dots;
        else if (c < '0' || c > '9')
            return "";
    }
    return dots == 2 && version.front() != '.' && version.back() != '.' &&
                   version.find("..") == std::string::npos
               ? version
               : "";
}

JsoncppChoice choose_jsoncpp(const std::vector<std::string>& command_line_folders,
                             const std::string& own_lib)
{
    JsoncppChoice choice;
    const std::vector<std::string> system = loader_folders();
    std::vector<std::string> folders = command_line_folders;
    folders.insert(folders.end(), system.begin(), system.end());
    choice.looked_in = listed_folders(folders);
    for (std::size_t i = 0; i < folders.size() && choice.file.empty(); ++i) {
        const std::vector<std::string> found = files_named({folders[i]}, kJsoncppPrefix, own_lib);
        if (found.empty())
            continue;
        choice.file = found.front();
        choice.source = i < command_line_folders.size() ? JsoncppChoice::Source::CommandLine
                                                        : JsoncppChoice::Source::LoaderFolders;
    }
    if (choice.file.empty()) {
        const std::vector<std::string> bundled = files_named({own_lib}, kJsoncppPrefix, "");
        if (bundled.empty())
            return choice;
        choice.file = bundled.front();
        choice.source = JsoncppChoice::Source::Bundled;
    }
    choice.soname = read_elf_facts(choice.file).soname;
    choice.version = version_in_file_name(real_file_name(choice.file));
    return choice;
}

void report_jsoncpp(const JsoncppChoice& choice, bool ran, bool answers_differ, Report& out)
{
    const std::string built = std::string(kBuiltVersion) + " (" + kBuiltJsoncppSoname + ")";
    out.add_detail("jsoncpp", {{"file", choice.file},
                               {"soname", choice.soname},
                               {"version", choice.version},
                               {"built_against", kBuiltVersion},
                               {"found_in", source_name(choice.source)}});
    if (choice.source == JsoncppChoice::Source::None) {
        out.add(Status::Failure, "jsoncpp",
                "none in " + choice.looked_in + ", and no copy in lib/ beside kpm-check: the module "
                "cannot run without one; --lib-dir names the host's library folder");
        return;
    }
    const std::string version = choice.version.empty() ? "of unknown version" : choice.version;
    const std::string what = choice.file + " (" + version + ", " +
                             (choice.soname.empty() ? "no soname" : choice.soname) + ")";
    const bool same = choice.version == kBuiltVersion;
    const std::string source =
        choice.source == JsoncppChoice::Source::Bundled
            ? "; none in " + choice.looked_in +
                  ", so the copy kpm-check brings: the host must have jsoncpp built in, or keep it "
                  "elsewhere (--lib-dir)"
            : "";
    if (!ran) {
        out.add(Status::Info, "jsoncpp",
                what + ", the module was built against " + built + "; not run: the module was not "
                "loaded" + source);
        return;
    }
    if (same)
        out.add(Status::Ok, "jsoncpp",
                "the module ran with " + what + ", the version it was built against" + source);
    else if (!answers_differ)
        out.add(Status::Warning, "jsoncpp",
                "the module ran with " + what + ", built against " + built +
                    ": every known answer matched with it; Json::Value crosses between host and "
                    "module, so keep the host on this jsoncpp, or build the module against it" +
                    source);
    else
        out.add(Status::Failure, "jsoncpp",
                "the module ran with " + what + ", built against " + built +
                    ", and its answers differ (the lines above): the module does not work with this "
                    "jsoncpp; build the module against the host's jsoncpp, or give the host " +
                    built + source);
}

}  // namespace kpmcheck
