#include "kpmcheck/elf_facts.h"

#include <elf.h>

#include <cstddef>
#include <map>

#include "devhost/runtime/elf_file.h"

namespace kpmcheck {

namespace {

using devhost::ElfBytes;
using devhost::ElfFile;
using devhost::ElfSection;

// The largest dynamic section worth reading: the string table of a C++
// runtime is about a megabyte.
constexpr std::uint64_t kMaxSectionSize = 64ull << 20;
// Version chains are walked at most this far, so a damaged chain that
// points back at itself ends.
constexpr int kMaxChainLength = 4096;

// The section type of .MIPS.abiflags, which the C library's <elf.h> lacks.
constexpr std::uint32_t kSectionMipsAbiFlags = 0x7000002a;

// Offsets inside the version records, the same in both classes.
namespace verneed {
constexpr std::size_t kCount = 2, kFile = 4, kAux = 8, kNext = 12;
}
namespace vernaux {
constexpr std::size_t kFlags = 4, kOther = 6, kName = 8, kNext = 12;
}
namespace verdef {
constexpr std::size_t kFlags = 2, kAux = 12, kNext = 16;
}
constexpr std::size_t kVerdauxName = 0;

std::optional<std::uint64_t> read_u16(const ElfBytes& bytes, std::uint64_t at)
{
    return bytes.unsigned_at(at, 2);
}
std::optional<std::uint64_t> read_u32(const ElfBytes& bytes, std::uint64_t at)
{
    return bytes.unsigned_at(at, 4);
}

// The contents of the string table a section links to.
std::optional<ElfBytes> linked_strings(ElfFile& file, const ElfSection& section)
{
    const ElfSection* strings = file.section_at(section.link);
    if (strings == nullptr || strings->type != SHT_STRTAB)
        return std::nullopt;
    return file.contents(*strings, kMaxSectionSize);
}

// The first section of a type and the string table it links to, both read;
// nullopt when the file has no such section or either cannot be read.
struct SectionWithStrings {
    ElfBytes records;
    ElfBytes strings;
};
std::optional<SectionWithStrings> section_with_strings(ElfFile& file, std::uint32_t type)
{
    const ElfSection* section = file.first_section_of_type(type);
    if (section == nullptr)
        return std::nullopt;
    auto records = file.contents(*section, kMaxSectionSize);
    auto strings = linked_strings(file, *section);
    if (!records || !strings)
        return std::nullopt;
    return SectionWithStrings{std::move(*records), std::move(*strings)};
}

void read_mips_abi_flags(ElfFile& file, ElfFacts& facts)
{
    const ElfSection* section = file.first_section_of_type(kSectionMipsAbiFlags);
    if (section == nullptr)
        return;
    const auto bytes = file.contents(*section, sizeof(Elf_MIPS_ABIFlags_v0));
    if (!bytes || !bytes->has(0, sizeof(Elf_MIPS_ABIFlags_v0)))
        return;
    MipsAbiFlags flags;
    flags.isa_level = static_cast<std::uint8_t>(
        *bytes->unsigned_at(offsetof(Elf_MIPS_ABIFlags_v0, isa_level), 1));
    flags.isa_rev =
        static_cast<std::uint8_t>(*bytes->unsigned_at(offsetof(Elf_MIPS_ABIFlags_v0, isa_rev), 1));
    flags.fp_abi =
        static_cast<std::uint8_t>(*bytes->unsigned_at(offsetof(Elf_MIPS_ABIFlags_v0, fp_abi), 1));
    facts.mips_abi = flags;
}

void read_dynamic(ElfFile& file, ElfFacts& facts)
{
    const auto read = section_with_strings(file, SHT_DYNAMIC);
    if (!read)
        return;
    const ElfBytes* entries = &read->records;
    const ElfBytes* strings = &read->strings;
    const std::size_t width = facts.is_64_bit ? 8 : 4;
    for (std::uint64_t at = 0; entries->has(at, 2 * width); at += 2 * width) {
        const std::uint64_t tag = *entries->unsigned_at(at, width);
        const std::uint64_t value = *entries->unsigned_at(at + width, width);
        if (tag == DT_NULL)
            break;
        if (tag == DT_NEEDED)
            facts.needed.push_back(strings->text_at(value).value_or("?"));
        else if (tag == DT_SONAME)
            facts.soname = strings->text_at(value).value_or("");
    }
}

// Undefined dynamic symbols by the version index they are bound to.
std::map<std::uint64_t, std::vector<std::string>> undefined_symbols_by_version(ElfFile& file,
                                                                               bool is_64_bit)
{
    std::map<std::uint64_t, std::vector<std::string>> by_version;
    const ElfSection* symbols = file.first_section_of_type(SHT_DYNSYM);
    const ElfSection* versions = file.first_section_of_type(SHT_GNU_versym);
    if (symbols == nullptr || versions == nullptr)
        return by_version;
    const auto table = file.contents(*symbols, kMaxSectionSize);
    const auto indexes = file.contents(*versions, kMaxSectionSize);
    const auto names = linked_strings(file, *symbols);
    if (!table || !indexes || !names)
        return by_version;
    const std::size_t entry = is_64_bit ? sizeof(Elf64_Sym) : sizeof(Elf32_Sym);
    const std::size_t section_index_at =
        is_64_bit ? offsetof(Elf64_Sym, st_shndx) : offsetof(Elf32_Sym, st_shndx);
    for (std::uint64_t index = 0; table->has(index * entry, entry); ++index) {
        const auto version = read_u16(*indexes, index * 2);
        if (!version)
            break;
        const std::uint64_t base = index * entry;
        if (*read_u16(*table, base + section_index_at) != SHN_UNDEF)
            continue;
        const auto name = names->text_at(*read_u32(*table, base));
        if (name && !name->empty())
            by_version[*version & 0x7fff].push_back(*name);
    }
    return by_version;
}

void read_version_needs(ElfFile& file, ElfFacts& facts)
{
    const auto read = section_with_strings(file, SHT_GNU_verneed);
    if (!read)
        return;
    const ElfBytes* records = &read->records;
    const ElfBytes* strings = &read->strings;
    const auto symbols = undefined_symbols_by_version(file, facts.is_64_bit);
    std::uint64_t at = 0;
    for (int files = 0; files < kMaxChainLength && records->has(at, sizeof(Elf32_Verneed));
         ++files) {
        const std::string library =
            strings->text_at(*read_u32(*records, at + verneed::kFile)).value_or("?");
        const std::uint64_t count = *read_u16(*records, at + verneed::kCount);
        std::uint64_t aux = at + *read_u32(*records, at + verneed::kAux);
        for (std::uint64_t i = 0; i < count && records->has(aux, sizeof(Elf32_Vernaux)); ++i) {
            VersionNeed need;
            need.library = library;
            need.version = strings->text_at(*read_u32(*records, aux + vernaux::kName)).value_or("?");
            need.weak = (*read_u16(*records, aux + vernaux::kFlags) & VER_FLG_WEAK) != 0;
            const auto bound = symbols.find(*read_u16(*records, aux + vernaux::kOther));
            if (bound != symbols.end())
                need.symbols = bound->second;
            facts.version_needs.push_back(std::move(need));
            const std::uint64_t next = *read_u32(*records, aux + vernaux::kNext);
            if (next == 0)
                break;
            aux += next;
        }
        const std::uint64_t next = *read_u32(*records, at + verneed::kNext);
        if (next == 0)
            break;
        at += next;
    }
}

void read_version_definitions(ElfFile& file, ElfFacts& facts)
{
    const auto read = section_with_strings(file, SHT_GNU_verdef);
    if (!read)
        return;
    const ElfBytes* records = &read->records;
    const ElfBytes* strings = &read->strings;
    std::uint64_t at = 0;
    for (int count = 0; count < kMaxChainLength && records->has(at, sizeof(Elf32_Verdef));
         ++count) {
        const bool file_name = (*read_u16(*records, at + verdef::kFlags) & VER_FLG_BASE) != 0;
        const std::uint64_t aux = at + *read_u32(*records, at + verdef::kAux);
        if (!file_name) {
            if (const auto name = read_u32(*records, aux + kVerdauxName))
                if (const auto text = strings->text_at(*name))
                    facts.version_definitions.push_back(*text);
        }
        const std::uint64_t next = *read_u32(*records, at + verdef::kNext);
        if (next == 0)
            break;
        at += next;
    }
}

}  // namespace

ElfFacts read_elf_facts(const std::string& path)
{
    ElfFacts facts;
    ElfFile file(path);
    if (!file.valid())
        return facts;
    facts.valid = true;
    facts.is_64_bit = file.is_64_bit();
    facts.big_endian = file.big_endian();
    facts.type = file.type();
    facts.machine = file.machine();
    facts.flags = file.flags();
    if (facts.machine == EM_MIPS)
        read_mips_abi_flags(file, facts);
    read_dynamic(file, facts);
    read_version_needs(file, facts);
    read_version_definitions(file, facts);
    return facts;
}

}  // namespace kpmcheck
