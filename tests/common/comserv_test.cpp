#include "common/Comserv.h"

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/support/tempdir.h"

namespace {

// --- ExtractField ---

TEST(ExtractField, FieldsEndAtEverySeparator) {
    EXPECT_EQ(ExtractField("dir;ext", ';', 0), "dir");
    EXPECT_EQ(ExtractField("dir;ext", ';', 1), "ext");
    EXPECT_EQ(ExtractField("dir;ext", ';', 2), "");
    EXPECT_EQ(ExtractField("dir;ext", ';', 99), "");
}

TEST(ExtractField, EmptyFieldsCount) {
    EXPECT_EQ(ExtractField(";x", ';', 0), "");
    EXPECT_EQ(ExtractField(";x", ';', 1), "x");
    EXPECT_EQ(ExtractField("a;;b", ';', 1), "");
    EXPECT_EQ(ExtractField("a;;b", ';', 2), "b");
    EXPECT_EQ(ExtractField("a;", ';', 1), "");
    EXPECT_EQ(ExtractField("", ';', 0), "");
    EXPECT_EQ(ExtractField(";;;", ';', 3), "");
}

TEST(ExtractField, NegativeIndexGivesEmpty) {
    EXPECT_EQ(ExtractField("a;b", ';', -1), "");
    EXPECT_EQ(ExtractField(";a", ';', -1), "");
}

TEST(ExtractField, SeparatorIsNeverPartOfTheResult) {
    EXPECT_EQ(ExtractField("name\t12\t2026/03/05 UTC", '\t', 2), "2026/03/05 UTC");
    EXPECT_EQ(ExtractField("a b", '\t', 0), "a b");
}

TEST(ExtractField, ResultKeepsAtMost255Bytes) {
    const std::string field(300, 'x');
    EXPECT_EQ(ExtractField(field + ";y", ';', 0), std::string(255, 'x'));
    EXPECT_EQ(ExtractField("y;" + field, ';', 1), std::string(255, 'x'));
    EXPECT_EQ(ExtractField(std::string(255, 'z'), ';', 0).size(), 255u);
}

TEST(ExtractField, CutNeverSplitsAUtf8Character) {
    // 254 bytes, then a two-byte character that would straddle the limit.
    const std::string field = std::string(254, 'x') + "\xc3\xa9" + "tail";
    EXPECT_EQ(ExtractField(field, ';', 0), std::string(254, 'x'));
    // A three-byte character ending exactly at byte 255 stays.
    const std::string exact = std::string(252, 'x') + "\xe2\x82\xac" + "more";
    EXPECT_EQ(ExtractField(exact, ';', 0), std::string(252, 'x') + "\xe2\x82\xac");
    // A four-byte character across the limit goes whole.
    const std::string four = std::string(253, 'x') + "\xf0\x9f\x98\x80";
    EXPECT_EQ(ExtractField(four, ';', 0), std::string(253, 'x'));
}

TEST(ExtractField, TextThatIsNotUtf8IsCutAtTheByteLimit) {
    // Bytes that look like continuation bytes must not eat the whole field.
    const std::string latin(300, '\xa9');
    EXPECT_EQ(ExtractField(latin, ';', 0), std::string(255, '\xa9'));
    EXPECT_EQ(ExtractField("a;" + latin, ';', 1), std::string(255, '\xa9'));
    const std::string mixed = std::string(250, 'x') + std::string(50, '\xe9');
    EXPECT_EQ(ExtractField(mixed, ';', 0), mixed.substr(0, 255));
}

// --- Program directory ---

TEST(ProgramDir, DirectoryPartOfTheProgramPath) {
    EXPECT_EQ(ProgramDirOf("/opt/kelvard/kelvardsvc_w10"), "/opt/kelvard");
    EXPECT_EQ(ProgramDirOf("/kelvardsvc_w10"), "/");
    EXPECT_EQ(ProgramDirOf("//kelvardsvc_w10"), "/");
    EXPECT_EQ(ProgramDirOf("/opt/kelvard//kelvardsvc_w10"), "/opt/kelvard");
    EXPECT_EQ(ProgramDirOf("kelvardsvc_w10"), "");
    EXPECT_EQ(ProgramDirOf("/opt/kelvard/prog (deleted)"), "/opt/kelvard");
}

TEST(ProgramDir, IsTheDirectoryOfTheRunningProgram) {
    const auto exe = std::filesystem::read_symlink("/proc/self/exe");
    EXPECT_EQ(ProgramDir(), exe.parent_path().string());
    EXPECT_EQ(GetProgramDir(), ProgramDir());
    EXPECT_NE(ProgramDir().back(), '/');
}

TEST(ProgramDir, TemporaryDirectoryVariablesPointThereAfterStartUp) {
    for (const char* name : {"TEMP", "TMP", "TMPDIR"}) {
        const char* value = std::getenv(name);
        ASSERT_NE(value, nullptr) << name;
        EXPECT_EQ(std::string(value), ProgramDir()) << name;
    }
}

// --- GetFileSize64 ---

TEST(GetFileSize64, MissingFileAndDirectoryGiveZero) {
    TempDir dir;
    EXPECT_EQ(GetFileSize64(dir.File("missing.txt")), 0);
    EXPECT_EQ(GetFileSize64(dir.File("no/such/dir/file.txt")), 0);
    std::filesystem::create_directory(dir.File("sub"));
    EXPECT_EQ(GetFileSize64(dir.File("sub")), 0);
    EXPECT_EQ(GetFileSize64(dir.Path()), 0);
    EXPECT_EQ(GetFileSize64(dir.Path() + "/"), 0);
}

TEST(GetFileSize64, SizeOfOrdinaryAndHiddenFiles) {
    TempDir dir;
    WriteTextFile(dir.File("a.txt"), "12345");
    WriteTextFile(dir.File(".hidden"), "123");
    WriteTextFile(dir.File("empty"), "");
    EXPECT_EQ(GetFileSize64(dir.File("a.txt")), 5);
    EXPECT_EQ(GetFileSize64(dir.File(".hidden")), 3);
    EXPECT_EQ(GetFileSize64(dir.File("empty")), 0);
}

TEST(GetFileSize64, NameOfOtherCaseIsAnotherFile) {
    TempDir dir;
    WriteTextFile(dir.File("Debug.txt"), "123456");
    EXPECT_EQ(GetFileSize64(dir.File("debug.txt")), 0);
    WriteTextFile(dir.File("debug.txt"), "12");
    EXPECT_EQ(GetFileSize64(dir.File("debug.txt")), 2);
    EXPECT_EQ(GetFileSize64(dir.File("Debug.txt")), 6);
}

TEST(GetFileSize64, NameIsASearchPattern) {
    TempDir dir;
    WriteTextFile(dir.File("only.cor"), "1234");
    EXPECT_EQ(GetFileSize64(dir.File("*.COR")), 4);
    EXPECT_EQ(GetFileSize64(dir.File("*.none")), 0);
}

TEST(GetFileSize64, FiveGibibyteFileGivesTheFull64BitSize) {
    TempDir dir;
    const std::string name = dir.File("big.bin");
    const int fd = open(name.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    const off_t size = 5LL * 1024 * 1024 * 1024;
    const int rc = ftruncate(fd, size); // sparse: takes no disk space
    close(fd);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(GetFileSize64(name), int64_t{5368709120});
}

// --- Time texts ---

TEST(FormatUtcBias, SignIsTheOppositeOfTheBias) {
    EXPECT_EQ(FormatUtcBias(0), "(UTC +00:00)");
    EXPECT_EQ(FormatUtcBias(-60), "(UTC +01:00)");
    EXPECT_EQ(FormatUtcBias(300), "(UTC -05:00)");
    EXPECT_EQ(FormatUtcBias(-330), "(UTC +05:30)");
    EXPECT_EQ(FormatUtcBias(570), "(UTC -09:30)");
    EXPECT_EQ(FormatUtcBias(-1), "(UTC +00:01)");
    EXPECT_EQ(FormatUtcBias(-840), "(UTC +14:00)");
}

TEST(SystemTimeToText, DayMonthYearAndTimeWithoutMilliseconds) {
    SYSTEMTIME st{2026, 3, 4, 5, 14, 7, 9, 999};
    EXPECT_EQ(SystemTimeToText(st), "05.03.2026 14:07:09");
    st = SYSTEMTIME{999, 12, 0, 31, 0, 0, 0, 0};
    EXPECT_EQ(SystemTimeToText(st), "31.12.0999 00:00:00");
    st = SYSTEMTIME{};
    EXPECT_EQ(SystemTimeToText(st), "00.00.0000 00:00:00");
}

TEST(FileTimeToDateTime, ConvertsWithoutTimeZone) {
    // 2026-03-05 14:07:09.123456 UTC.
    const FILETIME ft = UnixTimeToFileTime(1772719629, 123456789);
    const TDateTime dt = FileTimeToDateTime(ft);
    EXPECT_EQ(FormatDateTime("yyyy/mm/dd hh:nn:ss.zzz", dt, TFormatSettings{}),
              "2026/03/05 14:07:09.123");
    EXPECT_EQ(dt, ComposeDateTime(EncodeDate(2026, 3, 5), EncodeTime(14, 7, 9, 123)));
}

TEST(FileTimeToDateTime, RoundTripsThroughSystemTime) {
    const int64_t seconds[] = {0,
                               1,
                               86399,
                               951782400 /* 2000-02-29 */,
                               4102444799,
                               -1,
                               -2208988800 /* 1900-01-01 */,
                               -11644473600 /* 1601-01-01 */};
    for (int64_t s : seconds) {
        const TDateTime dt = FileTimeToDateTime(UnixTimeToFileTime(s, 999999999));
        const SYSTEMTIME st = DateTimeToSystemTime(dt);
        EXPECT_EQ(SystemTimeToDateTime(st), dt) << s;
        EXPECT_EQ(st.wMilliseconds, 999) << s; // sub-millisecond ticks are dropped, not rounded
        const int64_t days = (s >= 0 ? s : s - 86399) / 86400;
        EXPECT_EQ(DateOf(dt), days + 25569.0) << s; // calendar day, also before 1899
    }
}

TEST(FileTimeToDateTime, TimesBeyondTheYear9999GiveItsLastMillisecond) {
    const TDateTime last = ComposeDateTime(EncodeDate(9999, 12, 31), EncodeTime(23, 59, 59, 999));
    EXPECT_EQ(FileTimeToDateTime(FILETIME{0xFFFFFFFFu, 0x7FFFFFFFu}), last);
    EXPECT_EQ(FileTimeToDateTime(FILETIME{0, 0x80000000u}), last);
    EXPECT_EQ(FileTimeToDateTime(UnixTimeToFileTime(253402300800, 0)), last); // 10000-01-01
}

// --- SplitDomainUser ---

TEST(SplitDomainUser, SplitsAtTheFirstBackslash) {
    std::string domain = "old", user = "old";
    SplitDomainUser("svcuser", domain, user);
    EXPECT_EQ(domain, "");
    EXPECT_EQ(user, "svcuser");
    SplitDomainUser("A\\B\\C", domain, user);
    EXPECT_EQ(domain, "A");
    EXPECT_EQ(user, "B\\C");
    SplitDomainUser(".\\kelvard", domain, user);
    EXPECT_EQ(domain, ".");
    EXPECT_EQ(user, "kelvard");
    SplitDomainUser("\\x", domain, user);
    EXPECT_EQ(domain, "");
    EXPECT_EQ(user, "x");
    SplitDomainUser("dom\\", domain, user);
    EXPECT_EQ(domain, "dom");
    EXPECT_EQ(user, "");
    SplitDomainUser("", domain, user);
    EXPECT_EQ(domain, "");
    EXPECT_EQ(user, "");
}

TEST(SplitDomainUser, AccountMayBeOneOfTheOutputs) {
    std::string account = "DOM\\user", user;
    SplitDomainUser(account, account, user);
    EXPECT_EQ(account, "DOM");
    EXPECT_EQ(user, "user");
}

} // namespace
