// Reading a module file's version and build id, from the built module and
// from damaged copies of it, which must give empty fields and never a read
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

#include "module_identity.h"

namespace {

using Bytes = std::vector<char>;

Bytes module_bytes()
{
    std::ifstream file(KPM_MODULE_PATH, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

devhost::ModuleIdentity identity_of(const Bytes& bytes)
{
    const std::string path = ::testing::TempDir() + "kpm_module_identity_copy.so";
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(),
                                                                  static_cast<std::streamsize>(bytes.size()));
    devhost::ModuleIdentity identity = devhost::read_module_identity(path);
    std::remove(path.c_str());
    return identity;
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

    struct Case {
        const char* damage;
        std::function<void(Bytes&)> apply;
        bool build_id_kept;
    };
    const Case cases[] = {
        {"empty file", [](Bytes& b) { b.clear(); }, false},
        {"not an ELF file", [](Bytes& b) { b.assign({'h', 'e', 'l', 'l', 'o'}); }, false},
        {"only the ELF header", [](Bytes& b) { b.resize(sizeof(Elf32_Ehdr)); }, false},
        {"section table cut off", [](Bytes& b) { b.resize(b.size() - 1); }, false},
        {"section table past the end", [&](Bytes& b) { b[table_offset + 3] = '\x7f'; }, false},
        {"name table index past the count", [&](Bytes& b) { b[names_index] = b[names_index + 1] = '\xff'; }, false},
        {"version section renamed",
         [](Bytes& b) {
             const std::string name = ".kpm_version";
             for (auto at = std::search(b.begin(), b.end(), name.begin(), name.end()); at != b.end();
                  at = std::search(at, b.end(), name.begin(), name.end()))
                 *(at++ + 1) = 'X';
         },
         true},
    };
    const std::string build_id = devhost::read_module_identity(KPM_MODULE_PATH).build_id;
    for (const Case& c : cases) {
        Bytes damaged = module;
        c.apply(damaged);
        const devhost::ModuleIdentity identity = identity_of(damaged);
        EXPECT_EQ(identity.version, "") << c.damage;
        EXPECT_EQ(identity.build_id, c.build_id_kept ? build_id : "") << c.damage;
    }
}

}  // namespace
