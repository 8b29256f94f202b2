// The jsoncpp the module's known answers run with: the one a host on this
// gateway would give it. That is the first libjsoncpp (whatever its soname)
// in the folders named on the command line, then in those the loader
// searches; the copy kpm-check brings in lib/ only when there is none.
#pragma once

#include <string>
#include <vector>

#include "kpmcheck/report.h"

namespace kpmcheck {

struct JsoncppChoice {
    std::string file;     // the path the module runs with
    std::string soname;   // as the file names itself; may be empty
    std::string version;  // "1.9.5", from the real file's name; empty when it tells none
    enum class Source { CommandLine, LoaderFolders, Bundled, None } source = Source::None;
    std::string looked_in;  // the folders searched, for the report
};

// own_lib: the folder of kpm-check's own libraries, never taken for the
// gateway's, and where the bundled copy lies.
JsoncppChoice choose_jsoncpp(const std::vector<std::string>& command_line_folders,
                             const std::string& own_lib);

// "1.9.5" from "libjsoncpp.so.1.9.5"; empty when the name has no three-part
// version after ".so.".
std::string version_in_file_name(const std::string& file_name);

// The jsoncpp item and the report's "jsoncpp" member, once the known
// answers have run (ran: the module was handed to the part that runs it;
// answers_differ: an item of that run failed, loading included).
void report_jsoncpp(const JsoncppChoice& choice, bool ran, bool answers_differ, Report& out);

}  // namespace kpmcheck
