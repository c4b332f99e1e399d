#include "platform/versionblock.h"
#include "platform/versionres.h"

#include "tests/support/elfimage.h"
#include "tests/support/tempdir.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

using versionblock::BlockSpec;
using versionblock::StringEntry;
using versionblock::StringTable;

const std::string kSample = KV_VERSAMPLE;

std::vector<uint8_t> ReadBlock(const std::string& file) {
    std::vector<uint8_t> block(VersionBlockSize(file));
    if (block.empty() || !ReadVersionBlock(file, block))
        return {};
    return block;
}

uint32_t U32(std::span<const uint8_t> v, size_t at) {
    return v[at] | v[at + 1] << 8 | v[at + 2] << 16 | uint32_t{v[at + 3]} << 24;
}

std::string Text(std::span<const uint8_t> v) {
    return std::string(reinterpret_cast<const char*>(v.data()), v.size());
}

constexpr StringEntry kEnglish[] = {{"FileDescription", "Sample"}, {"Comments", ""}};
constexpr StringEntry kFrench[] = {{"FileDescription", "Échantillon"},
                                   {"LegalCopyright", "(c) moi"}};
constexpr StringTable kTables[] = {{"040904b0", kEnglish}, {"040c04e4", kFrench}};
constexpr uint32_t kTranslations[] = {0x04e4040c, 0x04b00409};

std::vector<uint8_t> SampleBlock() {
    return versionblock::EncodeVector(
        BlockSpec{0x00020003, 0x00040005, 0x3F, 0x2, kTranslations, kTables});
}

// Every query a reader makes; none may read outside `block` (checked under ASan).
void QueryAll(std::span<const uint8_t> block) {
    std::span<const uint8_t> v;
    for (const char* path :
         {"\\", "\\VarFileInfo\\Translation", "\\StringFileInfo\\040904b0\\FileDescription",
          "\\StringFileInfo\\040c04e4\\LegalCopyright", "\\StringFileInfo\\040c04e4\\Nope"}) {
        if (QueryVersionValue(block, path, v)) {
            ASSERT_GE(v.data(), block.data());
            ASSERT_LE(v.data() + v.size(), block.data() + block.size());
        }
    }
}

} // namespace

// --- the block built by kv_embed_version, read back from a program file ---

TEST(VersionFile, SampleProgramBlockReadsBack) {
    const std::vector<uint8_t> block = ReadBlock(kSample);
    ASSERT_FALSE(block.empty());
    std::span<const uint8_t> v;
    ASSERT_TRUE(QueryVersionValue(block, "\\", v));
    ASSERT_EQ(v.size(), 16u);
    EXPECT_EQ(U32(v, 0), (3u << 16) | 258u);   // 3.258
    EXPECT_EQ(U32(v, 4), (65535u << 16) | 7u); // .65535.7
    EXPECT_EQ(U32(v, 8), 0x3Fu);               // default mask
    EXPECT_EQ(U32(v, 12), 0x2u);

    ASSERT_TRUE(QueryVersionValue(block, "\\VarFileInfo\\Translation", v));
    ASSERT_EQ(v.size(), 4u);
    EXPECT_EQ(U32(v, 0), 0x04e4040cu); // language 0x040c, code page 0x04e4

    // The texts pass through CMake and C++ unchanged: quotes, backslashes, UTF-8.
    ASSERT_TRUE(QueryVersionValue(block, "\\StringFileInfo\\040c04e4\\FileDescription", v));
    EXPECT_EQ(Text(v), std::string("Échantillon \"cité\" a\\b;c\0", 27));
    ASSERT_TRUE(QueryVersionValue(block, "\\StringFileInfo\\040c04e4\\LegalCopyright", v));
    EXPECT_EQ(Text(v), std::string("(c) Essai\0", 10));
    ASSERT_TRUE(QueryVersionValue(block, "\\StringFileInfo\\040c04e4\\Comments", v));
    EXPECT_EQ(Text(v), std::string("\0", 1));
}

TEST(VersionFile, FilesWithoutBlock) {
    TempDir dir;
    EXPECT_EQ(VersionBlockSize(dir.File("missing")), 0u);
    EXPECT_FALSE(ReadBlock(dir.File("missing")).size());
    EXPECT_EQ(VersionBlockSize(dir.Path()), 0u); // a directory

    ASSERT_EQ(mkfifo(dir.File("fifo").c_str(), 0600), 0);
    EXPECT_EQ(VersionBlockSize(dir.File("fifo")), 0u); // must not wait for a writer

    WriteTextFile(dir.File("empty"), "");
    EXPECT_EQ(VersionBlockSize(dir.File("empty")), 0u);
    WriteTextFile(dir.File("text"), "\x7f"
                                    "ELF but not really");
    EXPECT_EQ(VersionBlockSize(dir.File("text")), 0u);

    // The sample program with its section renamed: an ELF file without a block.
    std::vector<uint8_t> bytes = ReadBinaryFile(kSample);
    const std::string name = versionblock::kSectionName;
    size_t renamed = 0;
    for (size_t i = 0; i + name.size() < bytes.size(); ++i)
        if (std::equal(name.begin(), name.end(), bytes.begin() + static_cast<long>(i))) {
            bytes[i + 3] = 'X';
            ++renamed;
        }
    ASSERT_GE(renamed, 1u);
    WriteBinaryFile(dir.File("nosection"), bytes);
    EXPECT_EQ(VersionBlockSize(dir.File("nosection")), 0u);
    std::vector<uint8_t> buffer(64);
    EXPECT_FALSE(ReadVersionBlock(dir.File("nosection"), buffer));
}

TEST(VersionFile, TruncatedCopiesNeverReadPastTheirEnd) {
    TempDir dir;
    const std::vector<uint8_t> whole = ReadBinaryFile(kSample);
    ASSERT_GT(whole.size(), 1000u);
    const std::string path = dir.File("cut");
    std::vector<size_t> lengths = {0, 1, 4, 15, 16, 51, 52, 63, 64, whole.size() - 1};
    for (size_t n = 100; n < whole.size(); n += whole.size() / 150 + 1)
        lengths.push_back(n);
    for (size_t n : lengths) {
        WriteBinaryFile(path, std::vector<uint8_t>(whole.begin(), whole.begin() + long(n)));
        // The section headers sit at the end of the file: every cut copy loses the block.
        EXPECT_EQ(VersionBlockSize(path), 0u) << "length " << n;
    }
}

TEST(VersionFile, GarbageFiles) {
    TempDir dir;
    std::mt19937 rng(1234);
    for (int round = 0; round < 50; ++round) {
        std::vector<uint8_t> bytes(64 + rng() % 4096);
        for (uint8_t& b : bytes)
            b = static_cast<uint8_t>(rng());
        if (round % 2) { // an ELF identification in front of the noise
            bytes[0] = 0x7F, bytes[1] = 'E', bytes[2] = 'L', bytes[3] = 'F';
            bytes[4] = static_cast<uint8_t>(1 + round % 4 / 2), bytes[5] = 1;
        }
        WriteBinaryFile(dir.File("junk"), bytes);
        std::vector<uint8_t> block(VersionBlockSize(dir.File("junk")));
        if (!block.empty() && ReadVersionBlock(dir.File("junk"), block))
            QueryAll(block);
    }
}

// --- hand-made ELF files: both word sizes and byte orders, corrupt fields ---

class ElfVariants : public ::testing::TestWithParam<std::tuple<bool, bool, bool>> {
protected:
    ElfImageOptions Options() const {
        ElfImageOptions o;
        std::tie(o.Is64, o.BigEndian, o.ExtendedNumbering) = GetParam();
        return o;
    }
    uint32_t SizeOf(const ElfImage& img) {
        WriteBinaryFile(dir_.File("img"), img.Bytes);
        return VersionBlockSize(dir_.File("img"));
    }
    TempDir dir_;
};

TEST_P(ElfVariants, FindsAndReadsTheSection) {
    const std::vector<uint8_t> block = SampleBlock();
    const ElfImage img = MakeElfImage(block, Options());
    ASSERT_EQ(SizeOf(img), block.size());
    EXPECT_EQ(ReadBlock(dir_.File("img")), block);
}

TEST_P(ElfVariants, CorruptFieldsGiveNoBlock) {
    const ElfImage good = MakeElfImage(SampleBlock(), Options());
    struct Case {
        const char* what;
        size_t offset;
        size_t width;
        uint64_t value;
    };
    const bool ext = Options().ExtendedNumbering;
    std::vector<Case> cases = {
        {"section beyond the end", good.SectionField(2, "offset"), good.FieldWidth("offset"),
         good.Bytes.size() - 8},
        {"huge section", good.SectionField(2, "size"), good.FieldWidth("size"), ~0ull},
        {"empty section", good.SectionField(2, "size"), good.FieldWidth("size"), 0},
        {"name past the table", good.SectionField(2, "name"), 4, 1u << 30},
        {"name without NUL", good.SectionField(1, "size"), good.FieldWidth("size"), 21},
        {"name table beyond the end", good.SectionField(1, "offset"), good.FieldWidth("offset"),
         ~0ull - 4},
        {"no bits section", good.SectionField(2, "type"), 4, 8},
        {"table beyond the end", good.HeaderField("shoff"), good.FieldWidth("shoff"),
         good.Bytes.size() - 10},
        {"short entries", good.HeaderField("shentsize"), 2, 16},
        {"no section table", good.HeaderField("shoff"), good.FieldWidth("shoff"), 0},
    };
    if (ext) {
        cases.push_back({"name index past count", good.SectionField(0, "link"), 4, 3});
        cases.push_back(
            {"huge count", good.SectionField(0, "size"), good.FieldWidth("size"), ~0ull});
    } else {
        cases.push_back({"name index past count", good.HeaderField("shstrndx"), 2, 3});
        cases.push_back({"huge count", good.HeaderField("shnum"), 2, 0xFFFE});
    }
    for (const Case& c : cases) {
        ElfImage img = good;
        img.Put(c.offset, c.width, c.value);
        EXPECT_EQ(SizeOf(img), 0u) << c.what;
    }
}

TEST_P(ElfVariants, EveryTruncationAndByteFlipIsSafe) {
    const ElfImage good = MakeElfImage(SampleBlock(), Options());
    for (size_t n = 0; n < good.Bytes.size(); ++n) {
        ElfImage img = good;
        img.Bytes.resize(n);
        EXPECT_EQ(SizeOf(img), 0u) << "length " << n;
    }
    std::mt19937 rng(99);
    for (int round = 0; round < 300; ++round) {
        ElfImage img = good;
        img.Bytes[rng() % img.Bytes.size()] ^= static_cast<uint8_t>(1 + rng() % 255);
        std::vector<uint8_t> block(SizeOf(img));
        if (!block.empty() && ReadVersionBlock(dir_.File("img"), block))
            QueryAll(block);
    }
}

INSTANTIATE_TEST_SUITE_P(WordSizeByteOrder, ElfVariants,
                         ::testing::Combine(::testing::Bool(), ::testing::Bool(),
                                            ::testing::Bool()));

TEST(VersionFile, SmallerBufferReadsThePrefix) {
    TempDir dir;
    const std::vector<uint8_t> block = SampleBlock();
    WriteBinaryFile(dir.File("img"), MakeElfImage(block).Bytes);
    std::vector<uint8_t> buffer(10);
    ASSERT_TRUE(ReadVersionBlock(dir.File("img"), buffer));
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), block.begin()));
    std::span<const uint8_t> v;
    EXPECT_FALSE(QueryVersionValue(buffer, "\\", v)); // a cut block is no block
}

// --- queries inside a block ---

TEST(VersionQuery, FindsValuesWithoutRegardToCase) {
    const std::vector<uint8_t> block = SampleBlock();
    std::span<const uint8_t> v;
    ASSERT_TRUE(QueryVersionValue(block, "\\VarFileInfo\\Translation", v));
    ASSERT_EQ(v.size(), 8u);
    EXPECT_EQ(U32(v, 0), 0x04e4040cu);
    EXPECT_EQ(U32(v, 4), 0x04b00409u);
    ASSERT_TRUE(QueryVersionValue(block, "\\stringfileinfo\\040C04E4\\FILEDESCRIPTION", v));
    EXPECT_EQ(Text(v), std::string("Échantillon\0", 13));
    ASSERT_TRUE(QueryVersionValue(block, "\\StringFileInfo\\040904b0\\Comments", v));
    EXPECT_EQ(Text(v), std::string("\0", 1));
    ASSERT_TRUE(QueryVersionValue(block, "", v)); // the root, as "\"
    EXPECT_EQ(v.size(), 16u);
}

TEST(VersionQuery, AbsentValues) {
    const std::vector<uint8_t> block = SampleBlock();
    std::span<const uint8_t> v;
    EXPECT_FALSE(QueryVersionValue(block, "\\StringFileInfo\\040904b0\\LegalCopyright", v));
    EXPECT_FALSE(QueryVersionValue(block, "\\StringFileInfo\\04070000\\FileDescription", v));
    EXPECT_FALSE(QueryVersionValue(block, "\\StringFileInfo\\040904b0", v));
    EXPECT_FALSE(QueryVersionValue(block, "\\VarFileInfo", v));
    EXPECT_FALSE(QueryVersionValue(block, "\\Other\\Translation", v));
    EXPECT_FALSE(QueryVersionValue(block, "\\StringFileInfo\\040904b0\\FileDescriptionX", v));

    const std::vector<uint8_t> bare = versionblock::EncodeVector(BlockSpec{1, 2, 0, 0, {}, {}});
    EXPECT_FALSE(QueryVersionValue(bare, "\\VarFileInfo\\Translation", v));
    EXPECT_TRUE(QueryVersionValue(bare, "\\", v));
}

TEST(VersionQuery, MalformedBlocks) {
    const std::vector<uint8_t> good = SampleBlock();
    std::span<const uint8_t> v;
    auto patched = [&](size_t at, uint32_t value) {
        std::vector<uint8_t> b = good;
        for (int i = 0; i < 4; ++i)
            b[at + i] = static_cast<uint8_t>(value >> (8 * i));
        return b;
    };
    EXPECT_FALSE(QueryVersionValue(std::vector<uint8_t>{}, "\\", v));
    EXPECT_FALSE(QueryVersionValue(patched(0, 0x31565658), "\\", v)); // magic
    EXPECT_FALSE(QueryVersionValue(patched(4, uint32_t(good.size() + 1)), "\\", v));
    EXPECT_FALSE(QueryVersionValue(patched(4, 8), "\\", v));
    EXPECT_FALSE(QueryVersionValue(patched(24, 0x40000000), "\\", v)); // translation count

    // A table whose length runs past the block, an entry whose lengths run past its table.
    const size_t firstTable = versionblock::kHeaderSize + 8 + 4;
    auto table = patched(firstTable, 0xFFFFFFF0);
    EXPECT_FALSE(QueryVersionValue(table, "\\StringFileInfo\\040c04e4\\FileDescription", v));
    auto entry = good;
    entry[firstTable + versionblock::kTableHeaderSize + 2] = 0xFF; // value length
    entry[firstTable + versionblock::kTableHeaderSize + 3] = 0xFF;
    EXPECT_FALSE(QueryVersionValue(entry, "\\StringFileInfo\\040904b0\\FileDescription", v));

    for (size_t n = 0; n <= good.size(); ++n)
        QueryAll(std::span(good).first(n));
}
