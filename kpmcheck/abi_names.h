// Names of machines and of MIPS instruction sets and float ABIs, and which
// of them the dynamic loader lets share one process.
#pragma once

#include <cstdint>
#include <string>

#include "kpmcheck/elf_facts.h"

namespace kpmcheck {

std::string machine_name(std::uint16_t machine);  // "MIPS", "x86-64", or "machine 183"

// MIPS only.
std::string mips_abi_name(const ElfFacts& facts);  // "o32", "n32", "n64"

struct MipsIsa {
    int level = 0;     // 1..5, 32, 64
    int revision = 0;  // 0 for MIPS I..V
};
// From the ABI flags, or from the header flags of a file without them.
MipsIsa mips_isa(const ElfFacts& facts);
std::string isa_name(MipsIsa isa);  // "MIPS32r2", "MIPS2"
bool isa_is_release6(MipsIsa isa);
// Rough order of instruction sets within the releases before 6: a core of
// a higher rank runs code of a lower one.
int isa_rank(MipsIsa isa);

std::string float_abi_name(std::uint8_t fp_abi);  // "soft float", "hard float, FPXX (...)"
// Whether the loader lets code of the two float ABIs share a process: they
// must be able to run with one common FPU register mode.
bool float_abis_compatible(std::uint8_t a, std::uint8_t b);
bool nan_2008(const ElfFacts& facts);

}  // namespace kpmcheck
