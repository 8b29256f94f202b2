// The libraries the module shares a host process with: the C++ runtime and
// jsoncpp found on this gateway, beside those the module was built against.
// Json::Value crosses between host and module, so a jsoncpp other than the
// one built against is a warning.
#pragma once

#include <string>
#include <vector>

#include "kpmcheck/report.h"

namespace kpmcheck {

// extra_folders: the host's own library folders, looked through first.
void report_neighbours(const std::vector<std::string>& extra_folders, ItemSink& out);

}  // namespace kpmcheck
