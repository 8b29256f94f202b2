// Reads what a module file says about itself: the version string it carries
// in its .kpm_version section and its GNU build id. Both come from the file,
// not from the loaded image, so a module can be identified without running
// any of its code.
#pragma once

#include <string>

namespace devhost {

struct ModuleIdentity {
    std::string version;   // "kalvorpowermeter 1.0.0"; empty if the file has none
    std::string build_id;  // lowercase hex; empty if the file has none
};

// Never throws for a file's content: an unreadable, truncated or damaged file
// gives empty fields. Reads ELF files of either class and byte order.
ModuleIdentity read_module_identity(const std::string& path);

// "kalvorpowermeter 1.0.0, build id 3f2a..." with "unknown version" and
// "no build id" for what is missing.
std::string describe(const ModuleIdentity& identity);

}  // namespace devhost
