// What the dynamic loader looks at in a module or library file, read from
// the file without loading it: header, MIPS ABI flags, needed libraries and
// the symbol versions the file needs and defines.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kpmcheck {

// The .MIPS.abiflags record (the loader reads the same bytes through the
// segment that maps it).
struct MipsAbiFlags {
    std::uint8_t isa_level = 0;  // 1..5, 32, 64
    std::uint8_t isa_rev = 0;
    std::uint8_t fp_abi = 0;     // Val_GNU_MIPS_ABI_FP_*
};

// A symbol version the file needs from one library, and the undefined
// symbols that are bound to it.
struct VersionNeed {
    std::string library;  // the library's soname, as the file names it
    std::string version;  // "GLIBC_2.2"
    bool weak = false;    // the loader only warns when a weak one is missing
    std::vector<std::string> symbols;
};

struct ElfFacts {
    bool valid = false;  // an ELF file the reader understood
    bool is_64_bit = false;
    bool big_endian = false;
    std::uint16_t type = 0;
    std::uint16_t machine = 0;
    std::uint32_t flags = 0;
    std::optional<MipsAbiFlags> mips_abi;
    std::string soname;
    std::vector<std::string> needed;
    std::vector<VersionNeed> version_needs;
    std::vector<std::string> version_definitions;  // "GLIBC_2.0", ...; not the file's own name
};

// Never throws for a file's content; what cannot be read stays empty.
ElfFacts read_elf_facts(const std::string& path);

}  // namespace kpmcheck
