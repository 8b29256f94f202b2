// Reading a module file's version and build id, and what the loader looks
// at (needed libraries, symbol versions), from the built module and from
// damaged copies of it, which must give empty fields and never a read
// outside the file.
#include <gtest/gtest.h>

#include <elf.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "kpmcheck/elf_facts.h"
#include "devhost/runtime/elf_file.h"
#include "devhost/runtime/module_identity.h"

namespace {

using Bytes = std::vector<char>;

Bytes module_bytes()
{
    std::ifstream file(KPM_MODULE_PATH, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

struct FileReadings {
    devhost::ModuleIdentity identity;
    kpmcheck::ElfFacts facts;
};

FileReadings readings_of(const Bytes& bytes)
{
    const std::string path = ::testing::TempDir() + "kpm_module_identity_copy.so";
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(),
                                                                  static_cast<std::streamsize>(bytes.size()));
    FileReadings readings{devhost::read_module_identity(path), kpmcheck::read_elf_facts(path)};
    std::remove(path.c_str());
    return readings;
}

TEST(ModuleIdentity, ReadsVersionAndBuildIdOfTheBuiltModule)
{
    const devhost::ModuleIdentity identity = devhost::read_module_identity(KPM_MODULE_PATH);
    EXPECT_EQ(identity.version, "kalvorpowermeter " KPM_VERSION);
    EXPECT_EQ(identity.build_id.size(), 40u);  // SHA-1
    EXPECT_EQ(identity.build_id.find_first_not_of("0123456789abcdef"), std::string::npos) << identity.build_id;
    EXPECT_EQ(devhost::describe(identity),
              "kalvorpowermeter " KPM_VERSION ", build id " + identity.build_id);
    EXPECT_EQ(devhost::describe(devhost::read_module_identity("/nonexistent/module.so")),
              "unknown version, no build id");
}

TEST(ModuleIdentity, DamagedCopiesGiveEmptyFields)
{
    const Bytes module = module_bytes();
    ASSERT_GT(module.size(), sizeof(Elf64_Ehdr));
    const bool elf64 = module[EI_CLASS] == ELFCLASS64;
    const std::size_t names_index = elf64 ? offsetof(Elf64_Ehdr, e_shstrndx) : offsetof(Elf32_Ehdr, e_shstrndx);
    const std::size_t table_offset = elf64 ? offsetof(Elf64_Ehdr, e_shoff) : offsetof(Elf32_Ehdr, e_shoff);

    // The loader's view (needed libraries, version needs) is found by
    // section type, so it survives the loss of the section names.
    struct Case {
        const char* damage;
        std::function<void(Bytes&)> apply;
        bool build_id_kept;
        bool loader_view_kept;
    };
    const Case cases[] = {
        {"empty file", [](Bytes& b) { b.clear(); }, false, false},
        {"not an ELF file", [](Bytes& b) { b.assign({'h', 'e', 'l', 'l', 'o'}); }, false, false},
        {"only the ELF header", [](Bytes& b) { b.resize(sizeof(Elf32_Ehdr)); }, false, false},
        {"section table cut off", [](Bytes& b) { b.resize(b.size() - 1); }, false, false},
        {"section table past the end", [&](Bytes& b) { b[table_offset + 3] = '\x7f'; }, false, false},
        {"name table index past the count", [&](Bytes& b) { b[names_index] = b[names_index + 1] = '\xff'; }, false, true},
        {"version section renamed",
         [](Bytes& b) {
             const std::string name = ".kpm_version";
             for (auto at = std::search(b.begin(), b.end(), name.begin(), name.end()); at != b.end();
                  at = std::search(at, b.end(), name.begin(), name.end()))
                 *(at++ + 1) = 'X';
         },
         true, true},
    };
    const std::string build_id = devhost::read_module_identity(KPM_MODULE_PATH).build_id;
    for (const Case& c : cases) {
        Bytes damaged = module;
        c.apply(damaged);
        const FileReadings readings = readings_of(damaged);
        EXPECT_EQ(readings.identity.version, "") << c.damage;
        EXPECT_EQ(readings.identity.build_id, c.build_id_kept ? build_id : "") << c.damage;
        EXPECT_EQ(!readings.facts.version_needs.empty(), c.loader_view_kept) << c.damage;
        EXPECT_EQ(!readings.facts.needed.empty(), c.loader_view_kept) << c.damage;
    }
}

// The version needs are a chain of per-library records, each with a chain
// of version names; offsets leading outside the section end a chain there.
TEST(ModuleIdentity, VersionNeedChainsEndWhereTheyLeaveTheirSection)
{
    const Bytes module = module_bytes();
    const kpmcheck::ElfFacts intact = readings_of(module).facts;
    ASSERT_FALSE(intact.version_needs.empty());
    const std::string first_library = intact.version_needs.front().library;
    std::vector<std::string> first_only, others;
    for (const kpmcheck::VersionNeed& need : intact.version_needs)
        (need.library == first_library ? first_only : others).push_back(need.library + " " + need.version);
    ASSERT_FALSE(others.empty()) << "the module needs versions of several libraries";

    devhost::ElfFile file(KPM_MODULE_PATH);
    const devhost::ElfSection* needs = file.section_named(".gnu.version_r");
    ASSERT_NE(needs, nullptr);
    const auto field = [&](std::size_t offset) { return static_cast<std::ptrdiff_t>(needs->offset + offset); };
    const auto needs_of = [](const Bytes& bytes) {
        std::vector<std::string> found;
        for (const kpmcheck::VersionNeed& need : readings_of(bytes).facts.version_needs)
            found.push_back(need.library + " " + need.version);
        return found;
    };

    Bytes names_outside = module;
    std::fill_n(names_outside.begin() + field(offsetof(Elf32_Verneed, vn_aux)), 4, '\x7f');
    EXPECT_EQ(needs_of(names_outside), others) << "the first library's names are skipped";

    Bytes next_outside = module;
    std::fill_n(next_outside.begin() + field(offsetof(Elf32_Verneed, vn_next)), 4, '\x7f');
    EXPECT_EQ(needs_of(next_outside), first_only) << "the chain ends after the first library";
}

}  // namespace
