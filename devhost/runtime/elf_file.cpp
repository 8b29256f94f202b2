#include "devhost/runtime/elf_file.h"

#include <elf.h>

#include <cstddef>

namespace devhost {

namespace {

constexpr std::uint64_t kMaxSectionCount = 65535;
// Section name tables are a few hundred bytes; anything larger is damage.
constexpr std::uint64_t kMaxNameTableSize = 64 * 1024;

// Where the fields the reader needs sit in the ELF and section headers of
// each class: offset and width in bytes.
struct Field {
    std::size_t offset;
    std::size_t width;
};
struct ClassLayout {
    std::size_t header_size;
    Field type;
    Field machine;
    Field flags;
    Field section_table_offset;
    Field section_entry_size;
    Field section_count;
    Field name_table_index;
    std::size_t section_entry_min;
    Field section_name;
    Field section_type;
    Field section_offset;
    Field section_size;
    Field section_link;
    Field section_info;
    Field section_entry_size_field;
};

#define KPM_FIELD(type, member) Field{offsetof(type, member), sizeof(type::member)}
#define KPM_LAYOUT(Ehdr, Shdr)                                                                    \
    ClassLayout                                                                                   \
    {                                                                                             \
        sizeof(Ehdr), KPM_FIELD(Ehdr, e_type), KPM_FIELD(Ehdr, e_machine),                        \
            KPM_FIELD(Ehdr, e_flags), KPM_FIELD(Ehdr, e_shoff), KPM_FIELD(Ehdr, e_shentsize),     \
            KPM_FIELD(Ehdr, e_shnum), KPM_FIELD(Ehdr, e_shstrndx), sizeof(Shdr),                  \
            KPM_FIELD(Shdr, sh_name), KPM_FIELD(Shdr, sh_type), KPM_FIELD(Shdr, sh_offset),       \
            KPM_FIELD(Shdr, sh_size), KPM_FIELD(Shdr, sh_link), KPM_FIELD(Shdr, sh_info),         \
            KPM_FIELD(Shdr, sh_entsize)                                                           \
    }
constexpr ClassLayout kElf32 = KPM_LAYOUT(Elf32_Ehdr, Elf32_Shdr);
constexpr ClassLayout kElf64 = KPM_LAYOUT(Elf64_Ehdr, Elf64_Shdr);
#undef KPM_LAYOUT
#undef KPM_FIELD

}  // namespace

std::optional<std::uint64_t> ElfBytes::unsigned_at(std::uint64_t offset, std::size_t width) const
{
    if (width == 0 || width > 8 || !has(offset, width))
        return std::nullopt;
    const auto start = static_cast<std::size_t>(offset);
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i) {
        const std::size_t byte = big_endian_ ? start + i : start + width - 1 - i;
        value = (value << 8) | bytes_[byte];
    }
    return value;
}

std::optional<std::string> ElfBytes::text_at(std::uint64_t offset) const
{
    if (offset >= bytes_.size())
        return std::nullopt;
    const auto begin = bytes_.begin() + static_cast<std::ptrdiff_t>(offset);
    for (auto end = begin; end != bytes_.end(); ++end)
        if (*end == '\0')
            return std::string(begin, end);
    return std::nullopt;
}

ElfFile::ElfFile(const std::string& path) : file_(path, std::ios::binary)
{
    if (!file_)
        return;
    file_.seekg(0, std::ios::end);
    const std::streamoff end = file_.tellg();
    file_size_ = end > 0 ? static_cast<std::uint64_t>(end) : 0;
    read_header();
    if (valid_)
        read_sections();
}

void ElfFile::read_header()
{
    std::vector<unsigned char> ident;
    if (!read(0, EI_NIDENT, ident) || ident[EI_MAG0] != ELFMAG0 || ident[EI_MAG1] != ELFMAG1 ||
        ident[EI_MAG2] != ELFMAG2 || ident[EI_MAG3] != ELFMAG3)
        return;
    if (ident[EI_CLASS] != ELFCLASS32 && ident[EI_CLASS] != ELFCLASS64)
        return;
    if (ident[EI_DATA] != ELFDATA2LSB && ident[EI_DATA] != ELFDATA2MSB)
        return;
    is_64_bit_ = ident[EI_CLASS] == ELFCLASS64;
    big_endian_ = ident[EI_DATA] == ELFDATA2MSB;
    const ClassLayout& layout = is_64_bit_ ? kElf64 : kElf32;
    std::vector<unsigned char> raw;
    if (!read(0, layout.header_size, raw))
        return;
    const ElfBytes header(std::move(raw), big_endian_);
    const auto field = [&](Field where) { return *header.unsigned_at(where.offset, where.width); };
    type_ = static_cast<std::uint16_t>(field(layout.type));
    machine_ = static_cast<std::uint16_t>(field(layout.machine));
    flags_ = static_cast<std::uint32_t>(field(layout.flags));
    section_table_ = field(layout.section_table_offset);
    section_entry_size_ = field(layout.section_entry_size);
    section_count_ = field(layout.section_count);
    name_table_index_ = field(layout.name_table_index);
    valid_ = true;
}

void ElfFile::read_sections()
{
    const ClassLayout& layout = is_64_bit_ ? kElf64 : kElf32;
    if (section_table_ == 0 || section_entry_size_ < layout.section_entry_min ||
        section_count_ == 0 || section_count_ > kMaxSectionCount)
        return;
    std::vector<unsigned char> raw;
    if (!read(section_table_, section_entry_size_ * section_count_, raw))
        return;
    const ElfBytes table(std::move(raw), big_endian_);
    std::vector<std::uint64_t> name_offsets;
    for (std::uint64_t index = 0; index < section_count_; ++index) {
        const std::uint64_t base = index * section_entry_size_;
        const auto field = [&](Field where) {
            return *table.unsigned_at(base + where.offset, where.width);
        };
        ElfSection section;
        section.type = static_cast<std::uint32_t>(field(layout.section_type));
        section.offset = field(layout.section_offset);
        section.size = field(layout.section_size);
        section.link = static_cast<std::uint32_t>(field(layout.section_link));
        section.info = static_cast<std::uint32_t>(field(layout.section_info));
        section.entry_size = field(layout.section_entry_size_field);
        name_offsets.push_back(field(layout.section_name));
        sections_.push_back(std::move(section));
    }
    if (name_table_index_ >= sections_.size())
        return;
    const std::optional<ElfBytes> names =
        contents(sections_[static_cast<std::size_t>(name_table_index_)], kMaxNameTableSize);
    if (!names)
        return;
    for (std::size_t index = 0; index < sections_.size(); ++index)
        sections_[index].name = names->text_at(name_offsets[index]).value_or("");
}

const ElfSection* ElfFile::section_named(const std::string& name) const
{
    for (const ElfSection& section : sections_)
        if (section.name == name)
            return &section;
    return nullptr;
}

const ElfSection* ElfFile::first_section_of_type(std::uint32_t type) const
{
    for (const ElfSection& section : sections_)
        if (section.type == type)
            return &section;
    return nullptr;
}

const ElfSection* ElfFile::section_at(std::uint32_t index) const
{
    return index < sections_.size() ? &sections_[index] : nullptr;
}

std::optional<ElfBytes> ElfFile::contents(const ElfSection& section, std::uint64_t max_size)
{
    std::vector<unsigned char> bytes;
    if (section.type == SHT_NOBITS || section.size > max_size ||
        !read(section.offset, section.size, bytes))
        return std::nullopt;
    return ElfBytes(std::move(bytes), big_endian_);
}

bool ElfFile::read(std::uint64_t offset, std::uint64_t length, std::vector<unsigned char>& out)
{
    if (!file_ || offset > file_size_ || length > file_size_ - offset)
        return false;
    out.resize(static_cast<std::size_t>(length));
    if (length == 0)
        return true;
    file_.clear();
    file_.seekg(static_cast<std::streamoff>(offset));
    file_.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(length));
    return static_cast<std::uint64_t>(file_.gcount()) == length;
}

}  // namespace devhost
