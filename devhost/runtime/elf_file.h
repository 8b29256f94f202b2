// Reads an ELF file of either class and byte order from disk, without
// loading it: the header fields, the section table and the bytes of single
// sections. Nothing in the file is trusted: every offset and size is checked
// against the file before it is read, so a truncated or damaged file gives
// "not there" answers and never a read outside it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace devhost {

// Bytes of a file read with the file's byte order.
class ElfBytes {
public:
    ElfBytes() = default;
    ElfBytes(std::vector<unsigned char> bytes, bool big_endian)
        : bytes_(std::move(bytes)), big_endian_(big_endian)
    {
    }

    std::size_t size() const { return bytes_.size(); }
    const std::vector<unsigned char>& bytes() const { return bytes_; }
    bool has(std::uint64_t offset, std::uint64_t width) const
    {
        return offset <= bytes_.size() && width <= bytes_.size() - offset;
    }
    // An unsigned field of 1, 2, 4 or 8 bytes; nullopt where it does not fit.
    std::optional<std::uint64_t> unsigned_at(std::uint64_t offset, std::size_t width) const;
    // The NUL-terminated text starting at offset; nullopt if the offset is
    // outside or no NUL ends the text inside the bytes.
    std::optional<std::string> text_at(std::uint64_t offset) const;

private:
    std::vector<unsigned char> bytes_;
    bool big_endian_ = false;
};

struct ElfSection {
    std::string name;
    std::uint32_t type = 0;
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    std::uint32_t link = 0;  // index of the related section (string table, symbols)
    std::uint32_t info = 0;
    std::uint64_t entry_size = 0;
};

class ElfFile {
public:
    explicit ElfFile(const std::string& path);

    // An ELF file of a known class and byte order with a whole header.
    bool valid() const { return valid_; }
    bool is_64_bit() const { return is_64_bit_; }
    bool big_endian() const { return big_endian_; }
    std::uint16_t type() const { return type_; }
    std::uint16_t machine() const { return machine_; }
    std::uint32_t flags() const { return flags_; }

    // The section table; empty when the file has none or it lies outside the
    // file. Names are empty when the name table is unusable.
    const std::vector<ElfSection>& sections() const { return sections_; }
    const ElfSection* section_named(const std::string& name) const;
    const ElfSection* first_section_of_type(std::uint32_t type) const;
    const ElfSection* section_at(std::uint32_t index) const;

    // The section's bytes, if it has file contents inside the file and is no
    // larger than max_size.
    std::optional<ElfBytes> contents(const ElfSection& section, std::uint64_t max_size);

private:
    bool read(std::uint64_t offset, std::uint64_t length, std::vector<unsigned char>& out);
    void read_header();
    void read_sections();

    std::ifstream file_;
    std::uint64_t file_size_ = 0;
    bool valid_ = false;
    bool is_64_bit_ = false;
    bool big_endian_ = false;
    std::uint16_t type_ = 0;
    std::uint16_t machine_ = 0;
    std::uint32_t flags_ = 0;
    std::uint64_t section_table_ = 0;
    std::uint64_t section_entry_size_ = 0;
    std::uint64_t section_count_ = 0;
    std::uint64_t name_table_index_ = 0;
    std::vector<ElfSection> sections_;
};

}  // namespace devhost
