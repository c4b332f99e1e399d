#include "common/verinfo.h"

#include "platform/procpath.h"
#include "platform/versionblock.h"

#include "tests/support/elfimage.h"
#include "tests/support/tempdir.h"

#include <gtest/gtest.h>

namespace {

using versionblock::BlockSpec;
using versionblock::StringEntry;
using versionblock::StringTable;

const std::string kSample = KV_VERSAMPLE;

void ExpectEmpty(const TVersionInfo& v) {
    EXPECT_EQ(v.Major(), 0);
    EXPECT_EQ(v.Minor(), 0);
    EXPECT_EQ(v.Release(), 0);
    EXPECT_EQ(v.Build(), 0);
    EXPECT_FALSE(v.Debug());
    EXPECT_FALSE(v.PreRelease());
    EXPECT_EQ(v.FileDescription(), "");
    EXPECT_EQ(v.LegalCopyright(), "");
    EXPECT_EQ(v.Comments(), "");
}

} // namespace

// This test program carries its own block (see the CMake file): project version, flags 1
// with an empty flags mask.
TEST(VersionInfo, RunningProgram) {
    TVersionInfo v("", "");
    EXPECT_EQ(v.FileName(), ProgramFilePath());
    EXPECT_EQ(v.Major(), KV_PROJECT_MAJOR);
    EXPECT_EQ(v.Minor(), KV_PROJECT_MINOR);
    EXPECT_EQ(v.Release(), KV_PROJECT_PATCH);
    EXPECT_EQ(v.Build(), KV_PROJECT_TWEAK);
    EXPECT_TRUE(v.Debug()); // the mask does not include it
    EXPECT_FALSE(v.PreRelease());
    EXPECT_EQ(v.Translation(), "040904b0");
    EXPECT_EQ(v.FileDescription(), "Version reader test");
    EXPECT_EQ(v.LegalCopyright(), "Copyright test");
    EXPECT_EQ(v.Comments(), "Flags 1, mask 0");
}

TEST(VersionInfo, OtherProgramAndItsTranslation) {
    TVersionInfo v(kSample, "");
    EXPECT_EQ(v.FileName(), kSample);
    EXPECT_EQ(v.Major(), 3);
    EXPECT_EQ(v.Minor(), 258);
    EXPECT_EQ(v.Release(), 65535);
    EXPECT_EQ(v.Build(), 7);
    EXPECT_FALSE(v.Debug());
    EXPECT_TRUE(v.PreRelease());
    EXPECT_EQ(v.Translation(), "040c04e4"); // lower case whatever the build gave
    EXPECT_EQ(v.FileDescription(), "Échantillon \"cité\" a\\b;c");
    EXPECT_EQ(v.LegalCopyright(), "(c) Essai");
    EXPECT_EQ(v.Comments(), "");
}

TEST(VersionInfo, GivenTranslationIsUsedUnchanged) {
    TVersionInfo other(kSample, "040904b0");
    EXPECT_EQ(other.Translation(), "040904b0");
    EXPECT_EQ(other.Major(), 3); // the numbers do not depend on the translation
    EXPECT_EQ(other.FileDescription(), "");
    EXPECT_EQ(other.LegalCopyright(), "");

    TVersionInfo upper(kSample, "040C04E4");
    EXPECT_EQ(upper.Translation(), "040C04E4");
    EXPECT_EQ(upper.LegalCopyright(), "(c) Essai");
}

TEST(VersionInfo, FilesWithoutBlock) {
    TempDir dir;
    TVersionInfo missing(dir.File("none.exe"), "");
    EXPECT_EQ(missing.FileName(), dir.File("none.exe"));
    EXPECT_EQ(missing.Translation(), "");
    ExpectEmpty(missing);

    WriteTextFile(dir.File("garbage"), std::string(5000, '\x7f'));
    ExpectEmpty(TVersionInfo(dir.File("garbage"), ""));

    TVersionInfo keeps(dir.File("none.exe"), "040904b0");
    EXPECT_EQ(keeps.Translation(), "040904b0");
}

TEST(VersionInfo, FirstTranslationAndMissingEntries) {
    static constexpr StringEntry kGerman[] = {{"Comments", "nur Kommentar"}};
    static constexpr StringEntry kEnglish[] = {{"FileDescription", "english"}};
    static constexpr StringTable kTables[] = {{"040904b0", kEnglish}, {"04070000", kGerman}};
    static constexpr uint32_t kTranslations[] = {0x00000407, 0x04b00409};
    TempDir dir;
    WriteBinaryFile(dir.File("prog"),
                    MakeElfImage(versionblock::EncodeVector(BlockSpec{0x00010002, 0x00030004, 0x3F,
                                                                      0x3, kTranslations, kTables}))
                        .Bytes);
    TVersionInfo v(dir.File("prog"), "");
    EXPECT_EQ(v.Translation(), "04070000");
    EXPECT_EQ(v.Comments(), "nur Kommentar");
    EXPECT_EQ(v.FileDescription(), "");
    EXPECT_TRUE(v.Debug());
    EXPECT_TRUE(v.PreRelease());
    EXPECT_EQ(v.Major(), 1);
    EXPECT_EQ(v.Build(), 4);
}

TEST(VersionInfo, DamagedStringTablesKeepTheNumbers) {
    static constexpr StringEntry kEntries[] = {{"FileDescription", "text"}};
    static constexpr StringTable kTables[] = {{"040904b0", kEntries}};
    static constexpr uint32_t kTranslations[] = {0x04b00409};
    std::vector<uint8_t> block = versionblock::EncodeVector(
        BlockSpec{0x00050006, 0x00070008, 0x3F, 0, kTranslations, kTables});
    block[versionblock::kHeaderSize + 8] = 0xEE; // first table's length runs past the block
    TempDir dir;
    WriteBinaryFile(dir.File("prog"), MakeElfImage(block).Bytes);
    TVersionInfo v(dir.File("prog"), "");
    EXPECT_EQ(v.Major(), 5);
    EXPECT_EQ(v.Minor(), 6);
    EXPECT_EQ(v.Release(), 7);
    EXPECT_EQ(v.Build(), 8);
    EXPECT_EQ(v.Translation(), "040904b0");
    EXPECT_EQ(v.FileDescription(), "");
}
