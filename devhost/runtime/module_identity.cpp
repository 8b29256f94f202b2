#include "devhost/runtime/module_identity.h"

#include <elf.h>

#include <cstdint>
#include <optional>

#include "devhost/runtime/elf_file.h"

namespace devhost {

namespace {

constexpr char kVersionSection[] = ".kpm_version";
constexpr char kBuildIdSection[] = ".note.gnu.build-id";
// Both sections are a few dozen bytes; anything larger is a damaged file.
constexpr std::uint64_t kMaxSectionSize = 4096;

std::optional<ElfBytes> section_bytes(ElfFile& file, const char* name)
{
    const ElfSection* section = file.section_named(name);
    if (section == nullptr)
        return std::nullopt;
    return file.contents(*section, kMaxSectionSize);
}

std::string version_from(const ElfBytes& section)
{
    std::string text(section.bytes().begin(), section.bytes().end());
    return text.substr(0, text.find('\0'));
}

// The GNU build id note among the section's notes: name size, description
// size and type words, then the name and the description, each padded to
// four bytes.
std::string build_id_from(const ElfBytes& notes)
{
    constexpr std::uint64_t kNoteHeader = 12;
    static const std::string kOwner("GNU", 4);
    std::uint64_t at = 0;
    while (notes.has(at, kNoteHeader)) {
        const std::uint64_t name_size = *notes.unsigned_at(at, 4);
        const std::uint64_t desc_size = *notes.unsigned_at(at + 4, 4);
        const std::uint64_t type = *notes.unsigned_at(at + 8, 4);
        const std::uint64_t name_padded = (name_size + 3) & ~std::uint64_t{3};
        const std::uint64_t desc_padded = (desc_size + 3) & ~std::uint64_t{3};
        const std::uint64_t name_at = at + kNoteHeader;
        if (!notes.has(name_at, name_padded) || !notes.has(name_at + name_padded, desc_padded))
            break;
        const auto name = notes.bytes().begin() + static_cast<std::ptrdiff_t>(name_at);
        const auto desc = name + static_cast<std::ptrdiff_t>(name_padded);
        if (type == NT_GNU_BUILD_ID &&
            std::string(name, name + static_cast<std::ptrdiff_t>(name_size)) == kOwner) {
            static const char kHex[] = "0123456789abcdef";
            std::string hex;
            for (auto byte = desc; byte != desc + static_cast<std::ptrdiff_t>(desc_size); ++byte) {
                hex += kHex[*byte >> 4];
                hex += kHex[*byte & 0xf];
            }
            return hex;
        }
        at = name_at + name_padded + desc_padded;
    }
    return {};
}

}  // namespace

ModuleIdentity read_module_identity(const std::string& path)
{
    ModuleIdentity identity;
    ElfFile file(path);
    if (!file.valid())
        return identity;
    if (const auto bytes = section_bytes(file, kVersionSection))
        identity.version = version_from(*bytes);
    if (const auto bytes = section_bytes(file, kBuildIdSection))
        identity.build_id = build_id_from(*bytes);
    return identity;
}

std::string describe(const ModuleIdentity& identity)
{
    return (identity.version.empty() ? std::string("unknown version") : identity.version) + ", " +
           (identity.build_id.empty() ? std::string("no build id") : "build id " + identity.build_id);
}

}  // namespace devhost
