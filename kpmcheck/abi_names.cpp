#include "kpmcheck/abi_names.h"

#include <elf.h>

namespace kpmcheck {

namespace {

struct MachineName {
    std::uint16_t machine;
    const char* name;
};

constexpr MachineName kMachines[] = {
    {EM_MIPS, "MIPS"},          {EM_X86_64, "x86-64"},    {EM_386, "x86 (32-bit)"},
    {EM_ARM, "ARM (32-bit)"},   {EM_AARCH64, "AArch64"},  {EM_PPC, "PowerPC"},
    {EM_PPC64, "PowerPC 64"},   {EM_RISCV, "RISC-V"},     {EM_MIPS_RS3_LE, "MIPS RS3000"},
    {EM_SH, "SuperH"},          {EM_SPARC, "SPARC"},      {EM_S390, "S/390"},
};

// The FPU register modes code of each float ABI can run with: soft float,
// single precision, FR=0 (32-bit registers) and FR=1 (64-bit registers).
enum Mode : unsigned { kSoft = 1, kSingle = 2, kFr0 = 4, kFr1 = 8, kAnyMode = 15 };

struct FloatAbi {
    std::uint8_t value;
    const char* name;
    unsigned modes;
};

constexpr FloatAbi kFloatAbis[] = {
    {Val_GNU_MIPS_ABI_FP_ANY, "no floating point", kAnyMode},
    {Val_GNU_MIPS_ABI_FP_DOUBLE, "hard float, FP32 (32-bit FPU registers)", kFr0},
    {Val_GNU_MIPS_ABI_FP_SINGLE, "hard float, single precision", kSingle},
    {Val_GNU_MIPS_ABI_FP_SOFT, "soft float", kSoft},
    {Val_GNU_MIPS_ABI_FP_OLD_64, "hard float, old FP64 (no longer supported)", 0},
    {Val_GNU_MIPS_ABI_FP_XX, "hard float, FPXX (either FPU register mode)", kFr0 | kFr1},
    {Val_GNU_MIPS_ABI_FP_64, "hard float, FP64 (64-bit FPU registers)", kFr1},
    {Val_GNU_MIPS_ABI_FP_64A, "hard float, FP64A (64-bit FPU registers)", kFr1},
};

const FloatAbi* float_abi(std::uint8_t value)
{
    for (const FloatAbi& abi : kFloatAbis)
        if (abi.value == value)
            return &abi;
    return nullptr;
}

// Instruction sets by the architecture field of the header flags; the C
// library's <elf.h> lacks the values of release 6.
constexpr std::uint32_t kArch32R6 = 0x90000000;
constexpr std::uint32_t kArch64R6 = 0xa0000000;

struct HeaderIsa {
    std::uint32_t arch;
    MipsIsa isa;
};

constexpr HeaderIsa kHeaderIsas[] = {
    {EF_MIPS_ARCH_1, {1, 0}},        {EF_MIPS_ARCH_2, {2, 0}},        {EF_MIPS_ARCH_3, {3, 0}},
    {EF_MIPS_ARCH_4, {4, 0}},        {EF_MIPS_ARCH_5, {5, 0}},        {EF_MIPS_ARCH_32, {32, 1}},
    {EF_MIPS_ARCH_64, {64, 1}},      {EF_MIPS_ARCH_32R2, {32, 2}},    {EF_MIPS_ARCH_64R2, {64, 2}},
    {kArch32R6, {32, 6}},            {kArch64R6, {64, 6}},
};

}  // namespace

std::string machine_name(std::uint16_t machine)
{
    for (const MachineName& known : kMachines)
        if (known.machine == machine)
            return known.name;
    return "machine " + std::to_string(machine);
}

std::string mips_abi_name(const ElfFacts& facts)
{
    if (facts.is_64_bit)
        return "n64";
    return (facts.flags & EF_MIPS_ABI2) != 0 ? "n32" : "o32";
}

MipsIsa mips_isa(const ElfFacts& facts)
{
    if (facts.mips_abi)
        return MipsIsa{facts.mips_abi->isa_level, facts.mips_abi->isa_rev};
    for (const HeaderIsa& known : kHeaderIsas)
        if ((facts.flags & EF_MIPS_ARCH) == known.arch)
            return known.isa;
    return MipsIsa{};
}

std::string isa_name(MipsIsa isa)
{
    if (isa.level == 0)
        return "unknown MIPS instruction set";
    if (isa.level == 32 || isa.level == 64)
        return "MIPS" + std::to_string(isa.level) +
               (isa.revision > 1 ? "r" + std::to_string(isa.revision) : "");
    return "MIPS" + std::to_string(isa.level);
}

bool isa_is_release6(MipsIsa isa) { return isa.revision >= 6; }

int isa_rank(MipsIsa isa)
{
    if (isa.level <= 5)
        return isa.level * 10;
    return (isa.level == 64 ? 80 : 60) + isa.revision;
}

std::string float_abi_name(std::uint8_t fp_abi)
{
    const FloatAbi* abi = float_abi(fp_abi);
    return abi != nullptr ? abi->name : "float ABI " + std::to_string(fp_abi);
}

bool float_abis_compatible(std::uint8_t a, std::uint8_t b)
{
    const FloatAbi* first = float_abi(a);
    const FloatAbi* second = float_abi(b);
    return first != nullptr && second != nullptr && (first->modes & second->modes) != 0;
}

bool nan_2008(const ElfFacts& facts) { return (facts.flags & EF_MIPS_NAN2008) != 0; }

}  // namespace kpmcheck
