// The files of the runtime this process runs with, as the dynamic loader
// finds them, and a look through library folders.
#pragma once

#include <string>
#include <vector>

namespace kpmcheck {

struct LibraryFile {
    std::string path;   // empty when the loader does not find the library
    std::string error;  // the loader's message, when it does not
};

// The file the loader uses for a library name in this process: the one
// already loaded under that name, or the one it would load now (loaded and
// released again to find out).
LibraryFile loader_file_for(const std::string& soname);

// The folder this program was started from.
std::string own_folder();

// The last path component of the file a path leads to, after links.
std::string real_file_name(const std::string& path);

// The real paths of the files whose name starts with the prefix in the
// folders given, each file once even when reached through several links or
// folders; files that lie in the excluded folder are left out.
std::vector<std::string> files_named(const std::vector<std::string>& folders,
                                     const std::string& prefix,
                                     const std::string& excluded_folder);

std::string folder_of(const std::string& path);

}  // namespace kpmcheck
