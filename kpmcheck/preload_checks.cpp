#include "kpmcheck/preload_checks.h"

#include <elf.h>
#include <gnu/libc-version.h>
#include <dirent.h>
#include <unistd.h>

#include <algorithm>

#include "kpmcheck/abi_names.h"
#include "kpmcheck/elf_facts.h"
#include "kpmcheck/runtime_files.h"
#include "kpmcheck/version_names.h"

namespace kpmcheck {

namespace {

constexpr char kOwnToolchain[] =
    "build the module with this gateway's own toolchain (README, \"Another toolchain\")";
constexpr char kCLibrary[] = "libc.so.6";
// Symbols named in a line before "and N more".
constexpr std::size_t kSymbolsNamed = 3;

bool is_folder(const std::string& path)
{
    DIR* folder = opendir(path.c_str());
    if (folder != nullptr)
        closedir(folder);
    return folder != nullptr;
}

// Passes items on and remembers whether any was a failure.
class FailureTracker {
public:
    explicit FailureTracker(ItemSink& out) : out_(out) {}
    void add(Status status, const std::string& name, const std::string& text)
    {
        failed_ = failed_ || status == Status::Failure;
        out_.add(status, name, text);
    }
    bool failed() const { return failed_; }

private:
    ItemSink& out_;
    bool failed_ = false;
};

std::string class_name(const ElfFacts& facts) { return facts.is_64_bit ? "ELF64" : "ELF32"; }
std::string byte_order_name(const ElfFacts& facts)
{
    return facts.big_endian ? "big endian" : "little endian";
}

// Class, byte order and machine; false when any differs.
bool compare_header(const ElfFacts& module, const ElfFacts& libc, FailureTracker& out)
{
    const std::string other = ": the module is built for another machine; use a release built for "
                              "this gateway, or " +
                              std::string(kOwnToolchain);
    struct Aspect {
        const char* name;
        std::string module;
        std::string libc;
    };
    const Aspect aspects[] = {
        {"class", class_name(module), class_name(libc)},
        {"byte order", byte_order_name(module), byte_order_name(libc)},
        {"machine", machine_name(module.machine), machine_name(libc.machine)},
    };
    bool same = true;
    for (const Aspect& aspect : aspects) {
        if (aspect.module == aspect.libc) {
            out.add(Status::Ok, aspect.name, aspect.module + ", as the C library");
        } else {
            out.add(Status::Failure, aspect.name,
                    "the module is " + aspect.module + "; the C library is " + aspect.libc + other);
            same = false;
        }
    }
    return same;
}

void compare_mips_abi(const ElfFacts& module, const ElfFacts& libc, FailureTracker& out)
{
    const std::string abi = mips_abi_name(module);
    if (abi == mips_abi_name(libc))
        out.add(Status::Ok, "ABI", abi + ", as the C library");
    else
        out.add(Status::Failure, "ABI",
                "the module uses the " + abi + " ABI; the C library the " + mips_abi_name(libc) +
                    ": the loader refuses the module; " + kOwnToolchain);

    const MipsIsa isa = mips_isa(module);
    const MipsIsa libc_isa = mips_isa(libc);
    const std::string both = isa_name(isa) + "; the C library: " + isa_name(libc_isa);
    if (isa_is_release6(isa) != isa_is_release6(libc_isa))
        out.add(Status::Failure, "ISA",
                both + ": release 6 and the releases before it do not run each other's code; " +
                    kOwnToolchain);
    else if (isa_rank(isa) > isa_rank(libc_isa))
        out.add(Status::Warning, "ISA",
                both + ": the module runs only on a core that implements " + isa_name(isa));
    else
        out.add(Status::Ok, "ISA", both);
}

// "hard float" of "hard float, FPXX (either FPU register mode)".
std::string float_family(std::uint8_t fp_abi)
{
    const std::string name = float_abi_name(fp_abi);
    return name.substr(0, name.find(','));
}

// Hard against soft float first, as that is what to act on; the register
// modes only where both are hard float.
std::string float_abis_differ(std::uint8_t module, std::uint8_t libc)
{
    const std::string module_family = float_family(module);
    const std::string libc_family = float_family(libc);
    if (module_family == libc_family)
        return "the module is " + float_abi_name(module) + "; the C library is " +
               float_abi_name(libc);
    std::string text = "the module is " + module_family + "; the C library is " + libc_family;
    if (module_family != float_abi_name(module) || libc_family != float_abi_name(libc))
        text += " (the module: " + float_abi_name(module) + "; the C library: " +
                float_abi_name(libc) + ")";
    return text;
}

std::string float_description(const ElfFacts& facts)
{
    return float_abi_name(facts.mips_abi->fp_abi) +
           (nan_2008(facts) ? ", 2008 NaN encoding" : ", legacy NaN encoding");
}

void compare_float_abi(const ElfFacts& module, const ElfFacts& libc, FailureTracker& out)
{
    if (!module.mips_abi || !libc.mips_abi) {
        out.add(Status::Warning, "float ABI",
                std::string(module.mips_abi ? "the C library" : "the module") +
                    " carries no MIPS ABI flags (.MIPS.abiflags): the float ABIs cannot be compared");
        return;
    }
    const std::string refused = ": the loader refuses the module (\"cannot open shared object "
                                "file\"); " +
                                std::string(kOwnToolchain);
    if (!float_abis_compatible(module.mips_abi->fp_abi, libc.mips_abi->fp_abi))
        out.add(Status::Failure, "float ABI",
                float_abis_differ(module.mips_abi->fp_abi, libc.mips_abi->fp_abi) + refused);
    else if (nan_2008(module) != nan_2008(libc))
        out.add(Status::Failure, "float ABI",
                "the module has the " + std::string(nan_2008(module) ? "2008" : "legacy") +
                    " NaN encoding; the C library the " + (nan_2008(libc) ? "2008" : "legacy") +
                    " one" + refused);
    else
        out.add(Status::Ok, "float ABI",
                float_description(module) + "; the C library: " + float_description(libc));
}

std::string symbols_named(const std::vector<std::string>& symbols)
{
    std::string text;
    for (std::size_t i = 0; i < symbols.size() && i < kSymbolsNamed; ++i)
        text += (i == 0 ? "" : ", ") + symbols[i];
    if (symbols.size() > kSymbolsNamed)
        text += " and " + std::to_string(symbols.size() - kSymbolsNamed) + " more";
    return text.empty() ? text : " (for " + text + ")";
}

std::string newest_in_space(const std::vector<std::string>& defined, const std::string& space)
{
    for (const std::string& version : newest_per_space(defined))
        if (version_space(version) == space)
            return "it defines up to " + version;
    return "it defines no " + space + " version";
}

// The versions the module needs from one library, against those the file
// the loader uses for it defines.
void compare_library(const std::string& soname, const std::vector<VersionNeed>& needs,
                     FailureTracker& out)
{
    const LibraryFile file = loader_file_for(soname);
    if (file.path.empty()) {
        out.add(Status::Failure, soname,
                "the module needs it, and the loader does not find it: " + file.error);
        return;
    }
    const ElfFacts library = read_elf_facts(file.path);
    std::vector<std::string> needed;
    std::string missing;
    bool missing_required = false;
    for (const VersionNeed& need : needs) {
        needed.push_back(need.version);
        if (std::find(library.version_definitions.begin(), library.version_definitions.end(),
                      need.version) != library.version_definitions.end())
            continue;
        missing += (missing.empty() ? "" : "; ") + need.version + symbols_named(need.symbols) +
                   (need.weak ? " (weak)" : "") + ", which " + file.path + " does not define (" +
                   newest_in_space(library.version_definitions, version_space(need.version)) + ")";
        missing_required = missing_required || !need.weak;
    }
    if (missing_required) {
        out.add(Status::Failure, soname,
                "needs " + missing + ": the module needs a newer " + soname +
                    " than this gateway has; " + kOwnToolchain);
        return;
    }
    if (!missing.empty()) {
        out.add(Status::Warning, soname,
                "needs " + missing + ": the loader loads the module all the same, but what it "
                "binds to a weak version it lacks stays unresolved; " + kOwnToolchain);
        return;
    }
    if (needed.empty())
        out.add(Status::Ok, soname, file.path);
    else
        out.add(Status::Ok, soname,
                "needs up to " + listed(newest_per_space(needed)) + "; " + file.path +
                    " defines up to " + listed(newest_per_space(library.version_definitions)));
}

void compare_libraries(const ElfFacts& module, FailureTracker& out)
{
    std::vector<std::string> libraries = module.needed;
    for (const VersionNeed& need : module.version_needs)
        if (std::find(libraries.begin(), libraries.end(), need.library) == libraries.end())
            libraries.push_back(need.library);
    if (libraries.empty())
        out.add(Status::Warning, "libraries",
                "the file names no libraries it needs (no readable dynamic section): the symbol "
                "versions it needs cannot be compared");
    for (const std::string& soname : libraries) {
        std::vector<VersionNeed> needs;
        std::copy_if(module.version_needs.begin(), module.version_needs.end(),
                     std::back_inserter(needs),
                     [&](const VersionNeed& need) { return need.library == soname; });
        compare_library(soname, needs, out);
    }
}

}  // namespace

bool check_module_file(const std::string& module_path, ItemSink& sink)
{
    FailureTracker out(sink);
    // A folder opens as a file but reads as nothing; stat would need a
    // newer C library than the module does.
    if (access(module_path.c_str(), R_OK) != 0 || is_folder(module_path)) {
        out.add(Status::Failure, "file", "no module file at " + module_path);
        return false;
    }
    const ElfFacts module = read_elf_facts(module_path);
    if (!module.valid) {
        out.add(Status::Failure, "file", "not an ELF file, or its header is damaged");
        return false;
    }
    if (module.type != ET_DYN) {
        const std::string kind = module.type == ET_EXEC  ? "an executable program"
                                 : module.type == ET_REL ? "a relocatable object file"
                                                         : "an ELF file of type " +
                                                               std::to_string(module.type);
        out.add(Status::Failure, "file",
                kind + ", not a shared object: a host cannot load it; install the release's "
                       "kalvorpowermeter.so");
        return false;
    }
    out.add(Status::Ok, "file", "an ELF shared object");

    const LibraryFile libc_file = loader_file_for(kCLibrary);
    const ElfFacts libc = read_elf_facts(libc_file.path);
    if (libc_file.path.empty() || !libc.valid) {
        out.add(Status::Failure, "C library",
                "cannot read the C library this check runs with (" +
                    (libc_file.path.empty() ? libc_file.error : libc_file.path) + ")");
        return false;
    }
    out.add(Status::Info, "C library",
            libc_file.path + ", glibc " + gnu_get_libc_version());

    if (!compare_header(module, libc, out)) {
        out.add(Status::Info, "symbol versions", "not compared: the module is for another machine");
        return false;
    }
    if (module.machine == EM_MIPS) {
        compare_mips_abi(module, libc, out);
        compare_float_abi(module, libc, out);
    }
    compare_libraries(module, out);
    return !out.failed();
}

}  // namespace kpmcheck
