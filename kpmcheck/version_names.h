// Symbol version names such as GLIBC_2.2 or GLIBCXX_3.4.21: a name space
// and a dotted number, compared number by number.
#pragma once

#include <string>
#include <vector>

namespace kpmcheck {

std::string version_space(const std::string& version);  // "GLIBCXX" of "GLIBCXX_3.4.21"

// The newest version of each name space among the names, in the order the
// spaces first appear; names without a number (GLIBC_PRIVATE) are skipped.
std::vector<std::string> newest_per_space(const std::vector<std::string>& versions);

// "GLIBCXX_3.4.30, CXXABI_1.3.13"; "none" for an empty list.
std::string listed(const std::vector<std::string>& names);

}  // namespace kpmcheck
