// Reading the version block (layout in platform/versionblock.h) of a program file: the block
// lives in the ELF section ".kvversion". Every offset read from the file or the block is
// checked against its bounds, so truncated or garbage files simply have no block.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

// Size in bytes of the version block of `fileName` (empty: the running program, through
// /proc/self/exe). 0 when the file cannot be opened, is not an ELF file or has no block.
uint32_t VersionBlockSize(const std::string& fileName);

// Reads the version block of `fileName` into `buffer` (at most buffer.size() bytes).
// False when the file has no block any more or cannot be read.
bool ReadVersionBlock(const std::string& fileName, std::span<uint8_t> buffer);

// Reads the ELF section `sectionName` (at most 1 MiB) of program file `fileName`; false when
// the file is not an ELF file, cannot be read or has no such section.
bool ReadElfSection(const std::string& fileName, std::string_view sectionName,
                    std::string& contents);

// Looks up one value of a block read by ReadVersionBlock; names compare without regard to case.
//   "\"                                the fixed information: four u32 (little-endian) file
//                                      version MS, file version LS, flags mask, flags
//   "\VarFileInfo\Translation"         the translations, one u32 each
//   "\StringFileInfo\<translation>\<Key>"  the NUL-terminated text of that entry
// `value` points into `block`. False when the block is malformed or the value is absent.
bool QueryVersionValue(std::span<const uint8_t> block, std::string_view subBlock,
                       std::span<const uint8_t>& value);
