// The version block that the build embeds in each program (section ".kvversion"): its byte
// layout and an encoder usable at compile time (the generated source of kv_embed_version)
// and at run time (tests).
//
// Layout: every number little-endian, every record starting on a multiple of 4 bytes.
//
//   offset size  field
//        0    4  magic "KVV1"
//        4    4  u32 block length in bytes (the whole block, padding included)
//        8    4  u32 file version, most significant:  major << 16 | minor
//       12    4  u32 file version, least significant: release << 16 | build
//       16    4  u32 file flags mask
//       20    4  u32 file flags (bit 0 debug, bit 1 pre-release)
//       24    4  u32 translation count T
//       28   4T  T translations, u32 each: language identifier (low word) | code page << 16
//        .    4  u32 string table count S
//        .       S string tables, each:
//                   4  u32 table length in bytes (this field and the padding included)
//                   8  translation key: eight lower-case hexadecimal digits, language then
//                      code page ("040904b0")
//                   4  u32 entry count E
//                      E entries, each:
//                        2  u16 key length K (bytes, no NUL)
//                        2  u16 value length V (bytes, no NUL)
//                        K  key bytes, then one NUL
//                        V  value bytes (UTF-8), then one NUL
//                           zero bytes up to the next multiple of 4
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string_view>
#include <vector>

namespace versionblock {

inline constexpr char kSectionName[] = ".kvversion";
inline constexpr std::array<uint8_t, 4> kMagic = {'K', 'V', 'V', '1'};
inline constexpr size_t kHeaderSize = 28;     // up to and including the translation count
inline constexpr size_t kFixedInfoOffset = 8; // the four u32 of the file version and flags
inline constexpr size_t kFixedInfoSize = 16;
inline constexpr size_t kTranslationKeySize = 8;
inline constexpr size_t kTableHeaderSize = 16; // length, key, entry count
inline constexpr size_t kEntryHeaderSize = 4;  // key length, value length
inline constexpr uint32_t kFlagDebug = 0x1;
inline constexpr uint32_t kFlagPreRelease = 0x2;

struct StringEntry {
    std::string_view Key;
    std::string_view Value;
};

struct StringTable {
    std::string_view Translation; // eight hexadecimal digits
    std::span<const StringEntry> Entries;
};

struct BlockSpec {
    uint32_t FileVersionMS = 0;
    uint32_t FileVersionLS = 0;
    uint32_t FileFlagsMask = 0;
    uint32_t FileFlags = 0;
    std::span<const uint32_t> Translations;
    std::span<const StringTable> Tables;
};

constexpr size_t Pad4(size_t n) {
    return (n + 3) & ~size_t{3};
}

constexpr size_t EntrySize(const StringEntry& e) {
    if (e.Key.size() > 0xFFFF || e.Value.size() > 0xFFFF)
        throw std::length_error("version block: key or value longer than 65535 bytes");
    return Pad4(kEntryHeaderSize + e.Key.size() + 1 + e.Value.size() + 1);
}

constexpr size_t TableSize(const StringTable& t) {
    if (t.Translation.size() != kTranslationKeySize)
        throw std::invalid_argument("version block: translation key is not 8 characters");
    size_t n = kTableHeaderSize;
    for (const StringEntry& e : t.Entries)
        n += EntrySize(e);
    return n;
}

constexpr size_t EncodedSize(const BlockSpec& s) {
    size_t n = kHeaderSize + 4 * s.Translations.size() + 4;
    for (const StringTable& t : s.Tables)
        n += TableSize(t);
    return n;
}

namespace detail {

class Writer {
public:
    constexpr explicit Writer(uint8_t* out) : out_(out) {}
    constexpr void U8(uint8_t v) { out_[pos_++] = v; }
    constexpr void U16(uint32_t v) {
        out_[pos_++] = static_cast<uint8_t>(v);
        out_[pos_++] = static_cast<uint8_t>(v >> 8);
    }
    constexpr void U32(uint64_t v) {
        U16(static_cast<uint32_t>(v & 0xFFFF));
        U16(static_cast<uint32_t>((v >> 16) & 0xFFFF));
    }
    constexpr void Bytes(std::string_view s) {
        for (char c : s)
            out_[pos_++] = static_cast<uint8_t>(c);
    }
    constexpr void Zeros(size_t n) {
        for (size_t i = 0; i < n; ++i)
            out_[pos_++] = 0;
    }
    constexpr void PadTo4() { Zeros(Pad4(pos_) - pos_); }

private:
    uint8_t* out_;
    size_t pos_ = 0;
};

} // namespace detail

// Writes the block of `s` to `out`, which holds EncodedSize(s) bytes.
constexpr void Encode(const BlockSpec& s, uint8_t* out) {
    detail::Writer w(out);
    for (uint8_t b : kMagic)
        w.U8(b);
    w.U32(EncodedSize(s));
    w.U32(s.FileVersionMS);
    w.U32(s.FileVersionLS);
    w.U32(s.FileFlagsMask);
    w.U32(s.FileFlags);
    w.U32(s.Translations.size());
    for (uint32_t t : s.Translations)
        w.U32(t);
    w.U32(s.Tables.size());
    for (const StringTable& t : s.Tables) {
        w.U32(TableSize(t));
        w.Bytes(t.Translation);
        w.U32(t.Entries.size());
        for (const StringEntry& e : t.Entries) {
            w.U16(static_cast<uint32_t>(e.Key.size()));
            w.U16(static_cast<uint32_t>(e.Value.size()));
            w.Bytes(e.Key);
            w.Zeros(1);
            w.Bytes(e.Value);
            w.Zeros(1);
            w.PadTo4();
        }
    }
}

template <size_t N> constexpr std::array<uint8_t, N> EncodeArray(const BlockSpec& s) {
    std::array<uint8_t, N> block{};
    if (EncodedSize(s) != N)
        throw std::logic_error("version block: wrong array size");
    Encode(s, block.data());
    return block;
}

inline std::vector<uint8_t> EncodeVector(const BlockSpec& s) {
    std::vector<uint8_t> block(EncodedSize(s));
    Encode(s, block.data());
    return block;
}

} // namespace versionblock
