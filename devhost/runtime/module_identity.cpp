#include "module_identity.h"

#include <elf.h>

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <optional>
#include <vector>

namespace devhost {

namespace {

constexpr char kVersionSection[] = ".kpm_version";
constexpr char kBuildIdSection[] = ".note.gnu.build-id";
// Both sections are a few dozen bytes; anything larger is a damaged file.
constexpr std::uint64_t kMaxSectionSize = 4096;
constexpr std::uint64_t kMaxSectionCount = 65535;

using Bytes = std::vector<unsigned char>;

// Where the fields the reader needs sit in the ELF and section headers of
// each class: offset and width in bytes.
struct Field {
    std::size_t offset;
    std::size_t width;
};
struct ClassLayout {
    std::size_t header_size;
    Field section_table_offset;
    Field section_entry_size;
    Field section_count;
    Field name_table_index;
    std::size_t section_entry_min;
    Field section_name;
    Field section_offset;
    Field section_size;
};

#define KPM_FIELD(type, member) Field{offsetof(type, member), sizeof(type::member)}
constexpr ClassLayout kElf32{sizeof(Elf32_Ehdr),
                             KPM_FIELD(Elf32_Ehdr, e_shoff),
                             KPM_FIELD(Elf32_Ehdr, e_shentsize),
                             KPM_FIELD(Elf32_Ehdr, e_shnum),
                             KPM_FIELD(Elf32_Ehdr, e_shstrndx),
                             sizeof(Elf32_Shdr),
                             KPM_FIELD(Elf32_Shdr, sh_name),
                             KPM_FIELD(Elf32_Shdr, sh_offset),
                             KPM_FIELD(Elf32_Shdr, sh_size)};
constexpr ClassLayout kElf64{sizeof(Elf64_Ehdr),
                             KPM_FIELD(Elf64_Ehdr, e_shoff),
                             KPM_FIELD(Elf64_Ehdr, e_shentsize),
                             KPM_FIELD(Elf64_Ehdr, e_shnum),
                             KPM_FIELD(Elf64_Ehdr, e_shstrndx),
                             sizeof(Elf64_Shdr),
                             KPM_FIELD(Elf64_Shdr, sh_name),
                             KPM_FIELD(Elf64_Shdr, sh_offset),
                             KPM_FIELD(Elf64_Shdr, sh_size)};
#undef KPM_FIELD

struct Section {
    std::uint64_t offset;
    std::uint64_t size;
};

class ElfReader {
public:
    explicit ElfReader(const std::string& path) : file_(path, std::ios::binary)
    {
        if (file_) {
            file_.seekg(0, std::ios::end);
            const std::streamoff end = file_.tellg();
            file_size_ = end > 0 ? static_cast<std::uint64_t>(end) : 0;
        }
    }

    // Reads the ELF header; false if this is not an ELF file.
    bool open()
    {
        Bytes ident;
        if (!read(0, EI_NIDENT, ident) || ident[EI_MAG0] != ELFMAG0 || ident[EI_MAG1] != ELFMAG1 ||
            ident[EI_MAG2] != ELFMAG2 || ident[EI_MAG3] != ELFMAG3)
            return false;
        if (ident[EI_CLASS] == ELFCLASS32)
            layout_ = &kElf32;
        else if (ident[EI_CLASS] == ELFCLASS64)
            layout_ = &kElf64;
        else
            return false;
        if (ident[EI_DATA] != ELFDATA2LSB && ident[EI_DATA] != ELFDATA2MSB)
            return false;
        big_endian_ = ident[EI_DATA] == ELFDATA2MSB;
        return read(0, layout_->header_size, header_);
    }

    std::optional<Section> find_section(const std::string& wanted)
    {
        const std::uint64_t table = field(header_, 0, layout_->section_table_offset);
        const std::uint64_t entry_size = field(header_, 0, layout_->section_entry_size);
        const std::uint64_t count = field(header_, 0, layout_->section_count);
        const std::uint64_t names_index = field(header_, 0, layout_->name_table_index);
        if (table == 0 || entry_size < layout_->section_entry_min || count > kMaxSectionCount ||
            names_index >= count)
            return std::nullopt;
        Bytes entries;
        if (!read(table, entry_size * count, entries))
            return std::nullopt;
        const Section names = section_at(entries, entry_size * names_index);
        for (std::uint64_t index = 0; index < count; ++index) {
            const std::uint64_t name = field(entries, entry_size * index, layout_->section_name);
            if (name_is(names, name, wanted))
                return section_at(entries, entry_size * index);
        }
        return std::nullopt;
    }

    // The section's bytes, if it lies inside the file and is of a sane size.
    std::optional<Bytes> contents(const Section& section)
    {
        Bytes bytes;
        if (section.size > kMaxSectionSize || !read(section.offset, section.size, bytes))
            return std::nullopt;
        return bytes;
    }

    std::uint64_t word(const Bytes& bytes, std::size_t offset) const
    {
        return field(bytes, offset, Field{0, 4});
    }

private:
    bool read(std::uint64_t offset, std::uint64_t length, Bytes& out)
    {
        if (!file_ || offset > file_size_ || length > file_size_ - offset)
            return false;
        out.resize(static_cast<std::size_t>(length));
        file_.seekg(static_cast<std::streamoff>(offset));
        file_.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(length));
        return static_cast<std::uint64_t>(file_.gcount()) == length;
    }

    // An unsigned field at base + field.offset; bytes.size() covers it,
    // since every table read was at least one whole entry per index.
    std::uint64_t field(const Bytes& bytes, std::uint64_t base, Field where) const
    {
        const std::size_t start = static_cast<std::size_t>(base) + where.offset;
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < where.width; ++i) {
            const std::size_t byte = big_endian_ ? start + i : start + where.width - 1 - i;
            value = (value << 8) | bytes[byte];
        }
        return value;
    }

    Section section_at(const Bytes& entries, std::uint64_t base) const
    {
        return Section{field(entries, base, layout_->section_offset),
                       field(entries, base, layout_->section_size)};
    }

    bool name_is(const Section& names, std::uint64_t name, const std::string& wanted)
    {
        if (names.offset > file_size_ || name >= names.size || wanted.size() + 1 > names.size - name)
            return false;
        Bytes text;
        return read(names.offset + name, wanted.size() + 1, text) &&
               std::string(text.begin(), text.end() - 1) == wanted && text.back() == '\0';
    }

    std::ifstream file_;
    std::uint64_t file_size_ = 0;
    const ClassLayout* layout_ = nullptr;
    bool big_endian_ = false;
    Bytes header_;
};

std::string version_from(const Bytes& section)
{
    std::string text(section.begin(), section.end());
    return text.substr(0, text.find('\0'));
}

// The GNU build id note among the section's notes: name size, description
// size and type words, then the name and the description, each padded to
// four bytes.
std::string build_id_from(const ElfReader& reader, const Bytes& notes)
{
    constexpr std::size_t kNoteHeader = 12;
    static const std::string kOwner("GNU", 4);
    std::size_t at = 0;
    while (notes.size() - at >= kNoteHeader) {
        const std::uint64_t name_size = reader.word(notes, at);
        const std::uint64_t desc_size = reader.word(notes, at + 4);
        const std::uint64_t type = reader.word(notes, at + 8);
        const std::uint64_t name_padded = (name_size + 3) & ~std::uint64_t{3};
        const std::uint64_t desc_padded = (desc_size + 3) & ~std::uint64_t{3};
        const std::size_t left = notes.size() - at - kNoteHeader;
        if (name_padded > left || desc_padded > left - name_padded)
            break;
        const auto name = notes.begin() + static_cast<std::ptrdiff_t>(at + kNoteHeader);
        const auto desc = name + static_cast<std::ptrdiff_t>(name_padded);
        if (type == NT_GNU_BUILD_ID && std::string(name, name + static_cast<std::ptrdiff_t>(name_size)) == kOwner) {
            static const char kHex[] = "0123456789abcdef";
            std::string hex;
            for (auto byte = desc; byte != desc + static_cast<std::ptrdiff_t>(desc_size); ++byte) {
                hex += kHex[*byte >> 4];
                hex += kHex[*byte & 0xf];
            }
            return hex;
        }
        at += kNoteHeader + name_padded + desc_padded;
    }
    return {};
}

}  // namespace

ModuleIdentity read_module_identity(const std::string& path)
{
    ModuleIdentity identity;
    ElfReader reader(path);
    if (!reader.open())
        return identity;
    if (const auto section = reader.find_section(kVersionSection))
        if (const auto bytes = reader.contents(*section))
            identity.version = version_from(*bytes);
    if (const auto section = reader.find_section(kBuildIdSection))
        if (const auto bytes = reader.contents(*section))
            identity.build_id = build_id_from(reader, *bytes);
    return identity;
}

std::string describe(const ModuleIdentity& identity)
{
    return (identity.version.empty() ? std::string("unknown version") : identity.version) + ", " +
           (identity.build_id.empty() ? std::string("no build id") : "build id " + identity.build_id);
}

}  // namespace devhost
