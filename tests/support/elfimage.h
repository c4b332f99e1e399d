// Small hand-made ELF files for the version reader's tests: a header, a section name table,
// one section with given contents and the section header table, in either word size and
// byte order. Field offsets are exposed so that a test can corrupt one field at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct ElfImageOptions {
    bool Is64 = true;
    bool BigEndian = false;
    // Section count and name-table index kept in section 0 (as for files with more than
    // 65279 sections).
    bool ExtendedNumbering = false;
    std::string SectionName = ".kvversion";
    uint32_t SectionType = 1; // SHT_PROGBITS
};

struct ElfImage {
    std::vector<uint8_t> Bytes;
    ElfImageOptions Options;
    size_t SectionHeaders = 0; // offset of the section header table
    size_t SectionHeaderSize = 0;
    size_t Names = 0; // offset of the section name table
    size_t Data = 0;  // offset of the section's contents

    // Offset of field `field` of section header `index`: "name", "type", "offset", "size",
    // "link".
    size_t SectionField(size_t index, const std::string& field) const;
    // Offset of an ELF header field: "shoff", "shentsize", "shnum", "shstrndx".
    size_t HeaderField(const std::string& field) const;
    // Width in bytes of that field.
    size_t FieldWidth(const std::string& field) const;
    // Writes `value` into the field at `offset` in the image's byte order.
    void Put(size_t offset, size_t width, uint64_t value);
};

// Sections: 0 null, 1 ".shstrtab", 2 the named section holding `contents`.
ElfImage MakeElfImage(const std::vector<uint8_t>& contents, const ElfImageOptions& options = {});

// Whole-file helpers for binary data.
void WriteBinaryFile(const std::string& path, const std::vector<uint8_t>& bytes);
std::vector<uint8_t> ReadBinaryFile(const std::string& path);
