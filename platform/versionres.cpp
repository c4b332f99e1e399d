#include "platform/versionres.h"

#include "platform/versionblock.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <vector>

namespace {

// Limits that keep a garbage file from making us allocate much: real section header tables
// and section name tables are a few kilobytes, a version block well under one.
constexpr uint64_t kMaxSectionTable = 16u << 20;
constexpr uint64_t kMaxNameTable = 16u << 20;
constexpr uint64_t kMaxBlock = 1u << 20;

class FileReader {
public:
    explicit FileReader(const std::string& name) {
        const std::string path = name.empty() ? "/proc/self/exe" : name;
        // O_NONBLOCK: opening a FIFO must not hang; only regular files are read.
        fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        struct stat st {};
        if (fd_ >= 0 && fstat(fd_, &st) == 0 && S_ISREG(st.st_mode))
            size_ = static_cast<uint64_t>(st.st_size);
    }
    ~FileReader() {
        if (fd_ >= 0)
            close(fd_);
    }
    FileReader(const FileReader&) = delete;
    FileReader& operator=(const FileReader&) = delete;

    uint64_t Size() const { return size_; }
    // Reads exactly `len` bytes at `offset`, which must lie inside the file.
    bool Read(uint64_t offset, void* out, uint64_t len) const {
        if (!Contains(offset, len))
            return false;
        auto* p = static_cast<uint8_t*>(out);
        while (len > 0) {
            ssize_t n = pread(fd_, p, len, static_cast<off_t>(offset));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            p += n;
            offset += static_cast<uint64_t>(n);
            len -= static_cast<uint64_t>(n);
        }
        return true;
    }
    bool Contains(uint64_t offset, uint64_t len) const {
        return offset <= size_ && len <= size_ - offset;
    }

private:
    int fd_ = -1;
    uint64_t size_ = 0;
};

// Decodes ELF fields in the file's byte order and word size.
struct ElfLayout {
    bool is64 = false;
    bool bigEndian = false;

    uint64_t Get(const uint8_t* p, size_t width) const {
        uint64_t v = 0;
        for (size_t i = 0; i < width; ++i) {
            size_t k = bigEndian ? i : width - 1 - i;
            v = (v << 8) | p[k];
        }
        return v;
    }
    size_t Word() const { return is64 ? 8 : 4; }
};

struct SectionHeader {
    uint32_t name = 0;
    uint32_t type = 0;
    uint64_t offset = 0;
    uint64_t size = 0;
    uint32_t link = 0;
};

constexpr uint32_t kShtNobits = 8;
constexpr uint32_t kShnXindex = 0xFFFF;

SectionHeader DecodeSection(const ElfLayout& elf, const uint8_t* p) {
    SectionHeader sh;
    sh.name = static_cast<uint32_t>(elf.Get(p, 4));
    sh.type = static_cast<uint32_t>(elf.Get(p + 4, 4));
    if (elf.is64) {
        sh.offset = elf.Get(p + 24, 8);
        sh.size = elf.Get(p + 32, 8);
        sh.link = static_cast<uint32_t>(elf.Get(p + 40, 4));
    } else {
        sh.offset = elf.Get(p + 16, 4);
        sh.size = elf.Get(p + 20, 4);
        sh.link = static_cast<uint32_t>(elf.Get(p + 24, 4));
    }
    return sh;
}

struct Location {
    uint64_t offset = 0;
    uint64_t size = 0;
};

// Finds the section `wanted` of the file: its offset and size (at most `maxSize`), both inside
// the file.
std::optional<Location> FindSection(const FileReader& file, std::string_view wanted,
                                    uint64_t maxSize) {
    uint8_t ident[64] = {};
    if (!file.Read(0, ident, 16) || ident[0] != 0x7F || ident[1] != 'E' || ident[2] != 'L' ||
        ident[3] != 'F')
        return std::nullopt;
    ElfLayout elf;
    if (ident[4] != 1 && ident[4] != 2)
        return std::nullopt;
    if (ident[5] != 1 && ident[5] != 2)
        return std::nullopt;
    elf.is64 = ident[4] == 2;
    elf.bigEndian = ident[5] == 2;
    const size_t ehSize = elf.is64 ? 64 : 52;
    if (!file.Read(0, ident, ehSize))
        return std::nullopt;
    const size_t w = elf.Word();
    const uint64_t shoff = elf.Get(ident + 24 + 2 * w, w);
    const size_t fieldsAt = 24 + 3 * w + 4 + 2 + 2 + 2; // after e_flags, e_ehsize, phentsize, phnum
    const uint64_t shentsize = elf.Get(ident + fieldsAt, 2);
    uint64_t shnum = elf.Get(ident + fieldsAt + 2, 2);
    uint64_t shstrndx = elf.Get(ident + fieldsAt + 4, 2);
    const size_t minEntry = elf.is64 ? 64 : 40;
    if (shoff == 0 || shentsize < minEntry)
        return std::nullopt;

    // Section 0 holds the real count and name-table index when they do not fit 16 bits.
    std::vector<uint8_t> entry(shentsize);
    if (!file.Read(shoff, entry.data(), shentsize))
        return std::nullopt;
    const SectionHeader first = DecodeSection(elf, entry.data());
    if (shnum == 0)
        shnum = first.size;
    if (shstrndx == kShnXindex)
        shstrndx = first.link;
    if (shnum == 0 || shstrndx >= shnum || shnum > kMaxSectionTable / shentsize)
        return std::nullopt;

    std::vector<uint8_t> table(shnum * shentsize);
    if (!file.Read(shoff, table.data(), table.size()))
        return std::nullopt;
    const SectionHeader names = DecodeSection(elf, table.data() + shstrndx * shentsize);
    if (names.type == kShtNobits || names.size == 0 || names.size > kMaxNameTable)
        return std::nullopt;
    std::vector<char> nameTable(names.size);
    if (!file.Read(names.offset, nameTable.data(), names.size))
        return std::nullopt;

    for (uint64_t i = 0; i < shnum; ++i) {
        const SectionHeader sh = DecodeSection(elf, table.data() + i * shentsize);
        if (sh.name >= nameTable.size() || sh.type == kShtNobits)
            continue;
        const size_t room = nameTable.size() - sh.name;
        if (room <= wanted.size() || nameTable[sh.name + wanted.size()] != '\0' ||
            std::string_view(nameTable.data() + sh.name, wanted.size()) != wanted)
            continue;
        if (sh.size == 0 || sh.size > maxSize || !file.Contains(sh.offset, sh.size))
            return std::nullopt;
        return Location{sh.offset, sh.size};
    }
    return std::nullopt;
}

// Bounds-checked little-endian reads from the block.
class BlockCursor {
public:
    explicit BlockCursor(std::span<const uint8_t> block) : block_(block) {}
    bool Has(size_t offset, size_t len) const {
        return offset <= block_.size() && len <= block_.size() - offset;
    }
    bool U16(size_t offset, uint32_t& v) const {
        if (!Has(offset, 2))
            return false;
        v = block_[offset] | (uint32_t{block_[offset + 1]} << 8);
        return true;
    }
    bool U32(size_t offset, uint32_t& v) const {
        uint32_t lo = 0, hi = 0;
        if (!U16(offset, lo) || !U16(offset + 2, hi))
            return false;
        v = lo | (hi << 16);
        return true;
    }
    std::span<const uint8_t> Sub(size_t offset, size_t len) const {
        return block_.subspan(offset, len);
    }

private:
    std::span<const uint8_t> block_;
};

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

bool SameName(std::span<const uint8_t> bytes, std::string_view name) {
    if (bytes.size() != name.size())
        return false;
    for (size_t i = 0; i < name.size(); ++i)
        if (LowerAscii(static_cast<char>(bytes[i])) != LowerAscii(name[i]))
            return false;
    return true;
}

std::vector<std::string_view> SplitPath(std::string_view path) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('\\', start);
        if (end == std::string_view::npos)
            end = path.size();
        if (end > start)
            parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

// The checked view of a block: its valid length and where the string tables start.
struct BlockView {
    BlockCursor cur;
    size_t length = 0;
    size_t translations = 0; // count
    size_t tablesAt = 0;     // offset of the string table count
};

std::optional<BlockView> OpenBlock(std::span<const uint8_t> block) {
    BlockView v{BlockCursor(block)};
    if (block.size() < versionblock::kHeaderSize + 4)
        return std::nullopt;
    for (size_t i = 0; i < versionblock::kMagic.size(); ++i)
        if (block[i] != versionblock::kMagic[i])
            return std::nullopt;
    uint32_t length = 0, count = 0;
    v.cur.U32(4, length);
    if (length > block.size() || length < versionblock::kHeaderSize + 4)
        return std::nullopt;
    v.cur = BlockCursor(block.first(length));
    v.length = length;
    v.cur.U32(24, count);
    if (count > (length - versionblock::kHeaderSize - 4) / 4)
        return std::nullopt;
    v.translations = count;
    v.tablesAt = versionblock::kHeaderSize + 4 * size_t{count};
    return v;
}

bool FindString(const BlockView& v, std::string_view translation, std::string_view key,
                std::span<const uint8_t>& value) {
    uint32_t tables = 0;
    if (!v.cur.U32(v.tablesAt, tables))
        return false;
    size_t pos = v.tablesAt + 4;
    for (uint32_t t = 0; t < tables; ++t) {
        uint32_t tableLen = 0, entries = 0;
        if (!v.cur.U32(pos, tableLen) || tableLen < versionblock::kTableHeaderSize ||
            !v.cur.Has(pos, tableLen) || !v.cur.U32(pos + 12, entries))
            return false;
        const size_t tableEnd = pos + tableLen;
        if (SameName(v.cur.Sub(pos + 4, versionblock::kTranslationKeySize), translation)) {
            size_t at = pos + versionblock::kTableHeaderSize;
            for (uint32_t e = 0; e < entries; ++e) {
                uint32_t keyLen = 0, valueLen = 0;
                if (!v.cur.U16(at, keyLen) || !v.cur.U16(at + 2, valueLen))
                    return false;
                const size_t size =
                    versionblock::Pad4(versionblock::kEntryHeaderSize + keyLen + 1 + valueLen + 1);
                if (at + size > tableEnd)
                    return false;
                const size_t keyAt = at + versionblock::kEntryHeaderSize;
                if (SameName(v.cur.Sub(keyAt, keyLen), key)) {
                    value = v.cur.Sub(keyAt + keyLen + 1, size_t{valueLen} + 1);
                    return true;
                }
                at += size;
            }
        }
        pos = tableEnd;
    }
    return false;
}

std::optional<Location> FindVersionSection(const FileReader& file) {
    return FindSection(file, versionblock::kSectionName, kMaxBlock);
}

} // namespace

bool ReadElfSection(const std::string& fileName, std::string_view sectionName,
                    std::string& contents) {
    FileReader file(fileName);
    std::optional<Location> loc = FindSection(file, sectionName, kMaxBlock);
    if (!loc)
        return false;
    contents.resize(loc->size);
    return file.Read(loc->offset, contents.data(), loc->size);
}

uint32_t VersionBlockSize(const std::string& fileName) {
    FileReader file(fileName);
    std::optional<Location> loc = FindVersionSection(file);
    return loc ? static_cast<uint32_t>(loc->size) : 0;
}

bool ReadVersionBlock(const std::string& fileName, std::span<uint8_t> buffer) {
    FileReader file(fileName);
    std::optional<Location> loc = FindVersionSection(file);
    if (!loc)
        return false;
    const uint64_t len = std::min<uint64_t>(loc->size, buffer.size());
    return file.Read(loc->offset, buffer.data(), len);
}

bool QueryVersionValue(std::span<const uint8_t> block, std::string_view subBlock,
                       std::span<const uint8_t>& value) {
    std::optional<BlockView> v = OpenBlock(block);
    if (!v)
        return false;
    const std::vector<std::string_view> parts = SplitPath(subBlock);
    auto is = [&](size_t i, std::string_view name) {
        return SameName(
            std::span(reinterpret_cast<const uint8_t*>(parts[i].data()), parts[i].size()), name);
    };
    if (parts.empty()) {
        value = v->cur.Sub(versionblock::kFixedInfoOffset, versionblock::kFixedInfoSize);
        return true;
    }
    if (parts.size() == 2 && is(0, "VarFileInfo") && is(1, "Translation")) {
        if (v->translations == 0)
            return false;
        value = v->cur.Sub(versionblock::kHeaderSize, 4 * v->translations);
        return true;
    }
    if (parts.size() == 3 && is(0, "StringFileInfo"))
        return FindString(*v, parts[1], parts[2], value);
    return false;
}
