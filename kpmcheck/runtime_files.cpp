#include "kpmcheck/runtime_files.h"

#include <dirent.h>
#include <dlfcn.h>
#include <link.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <set>

namespace kpmcheck {

namespace {

std::string real_path(const std::string& path)
{
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : std::string();
}

}  // namespace

LibraryFile loader_file_for(const std::string& soname)
{
    dlerror();
    void* handle = dlopen(soname.c_str(), RTLD_LAZY | RTLD_LOCAL | RTLD_NOLOAD);
    if (handle == nullptr)
        handle = dlopen(soname.c_str(), RTLD_LAZY | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* error = dlerror();
        return LibraryFile{{}, error != nullptr ? error : "not found"};
    }
    // glibc's handle is the library's link map, the one dlinfo(RTLD_DI_LINKMAP)
    // gives; dlinfo itself would need glibc 2.3.3, newer than the module does.
    LibraryFile file;
    const auto* map = static_cast<const struct link_map*>(handle);
    if (map->l_name != nullptr && map->l_name[0] != '\0')
        file.path = map->l_name;
    else
        file.error = "the loader does not tell where it found it";
    dlclose(handle);
    return file;
}

std::string own_folder()
{
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0)
        return ".";
    return folder_of(std::string(path, static_cast<std::size_t>(length)));
}

std::string folder_of(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string real_file_name(const std::string& path)
{
    const std::string resolved = real_path(path);
    const std::string& name = resolved.empty() ? path : resolved;
    return name.substr(name.rfind('/') + 1);
}

std::vector<std::string> files_named(const std::vector<std::string>& folders,
                                     const std::string& prefix,
                                     const std::string& excluded_folder)
{
    const std::string excluded = excluded_folder.empty() ? "" : real_path(excluded_folder);
    std::vector<std::string> found;
    std::set<std::string> seen;
    for (const std::string& folder : folders) {
        const std::unique_ptr<DIR, int (*)(DIR*)> listing(opendir(folder.c_str()), closedir);
        if (!listing)
            continue;
        std::vector<std::string> names;
        while (const dirent* entry = readdir(listing.get())) {
            const std::string name = entry->d_name;
            if (name.compare(0, prefix.size(), prefix) == 0)
                names.push_back(name);
        }
        std::sort(names.begin(), names.end());
        for (const std::string& name : names) {
            const std::string resolved = real_path(folder + "/" + name);
            if (resolved.empty() || (!excluded.empty() && folder_of(resolved) == excluded))
                continue;
            if (seen.insert(resolved).second)
                found.push_back(resolved);
        }
    }
    return found;
}

}  // namespace kpmcheck
