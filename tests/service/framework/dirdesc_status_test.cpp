// Reading status files: the change rule, the positional time decoding with its defaults, and
// damaged files.
#include <cmath>
#include <sstream>
#include <unistd.h>

#include "common/datetime.h"
#include "platform/errors.h"
#include "tests/service/framework/dirdesc_fixture.h"
#include "tests/support/forked.h"

namespace {

TDateTime At(int hour, int minute, int second, int ms) {
    return EncodeDate(2024, 5, 1) + EncodeTime(hour, minute, second, ms);
}

TStatusRecord Line(int64_t size, TDateTime time) {
    return TStatusRecord{"a.txt", size, time};
}

std::vector<TStatusRecord> Records(const std::string& text, int bias = 0) {
    std::vector<TStatusRecord> records;
    std::istringstream in(text);
    ReadStatusRecords(in, bias, [&](const TStatusRecord& r) { records.push_back(r); });
    return records;
}

const std::string FullTime = "2024/05/01 10:20:30.456 UTC";

} // namespace

TEST(ChangeRule, TimesWithinTwoWholeSecondsCountAsSent) {
    const TFileEntry entry{5, At(10, 20, 30, 0), true};
    struct Case {
        TDateTime lineTime;
        bool changed;
    } cases[] = {
        {At(10, 20, 30, 0), false},   {At(10, 20, 32, 0), false}, // exactly 2 s
        {At(10, 20, 32, 500), false}, {At(10, 20, 32, 900), false},
        {At(10, 20, 32, 999), false}, {At(10, 20, 33, 1), true},
        {At(10, 20, 33, 500), true},  {At(10, 20, 27, 100), false}, // line earlier: 2.9 s
        {At(10, 20, 26, 500), true},  {At(10, 20, 27, 1), false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(IsFileChanged(entry, Line(5, c.lineTime), 0), c.changed)
            << FormatDateTime("hh:nn:ss.zzz", c.lineTime);
}

TEST(ChangeRule, ExactlyThreeSecondsFollowsTheDayValues) {
    for (int ms = 0; ms < 1000; ms += 37) {
        TDateTime a = At(10, 20, 30, ms), b = At(10, 20, 33, ms);
        int64_t seconds = WholeSecondsBetween(a, b);
        EXPECT_TRUE(seconds == 2 || seconds == 3) << ms;
        EXPECT_EQ(WholeSecondsBetween(b, a), seconds);
        EXPECT_EQ(IsFileChanged(TFileEntry{5, a, true}, Line(5, b), 0), seconds > 2);
    }
}

TEST(ChangeRule, SizeMustBeEqual) {
    const TFileEntry entry{5, At(10, 20, 30, 0), true};
    EXPECT_TRUE(IsFileChanged(entry, Line(6, entry.Time), 0));
    EXPECT_TRUE(IsFileChanged(entry, Line(4, entry.Time), 0));
    const int64_t big = 3LL << 30;
    EXPECT_FALSE(IsFileChanged(TFileEntry{big, entry.Time, true}, Line(big, entry.Time), 0));
    // The low 32 bits of a large size are not the size.
    EXPECT_TRUE(
        IsFileChanged(TFileEntry{big, entry.Time, true}, Line(big & 0x7FFFFFFF, entry.Time), 0));
}

TEST(ChangeRule, ReferenceTimeMarksLaterFilesChanged) {
    const TDateTime fileTime = At(10, 20, 30, 0);
    const TFileEntry entry{5, fileTime, true};
    const TStatusRecord same = Line(5, fileTime);
    EXPECT_FALSE(IsFileChanged(entry, same, 0));
    EXPECT_TRUE(IsFileChanged(entry, same, At(10, 20, 20, 0)));    // 10 s after the reference
    EXPECT_FALSE(IsFileChanged(entry, same, At(10, 20, 27, 500))); // 2.5 s after
    EXPECT_FALSE(IsFileChanged(entry, same, At(10, 30, 0, 0)));    // before the reference
}

TEST(ChangeRule, DistancesNeverOverflow) {
    EXPECT_EQ(WholeSecondsBetween(1e300, -1e300), INT64_MAX);
    EXPECT_EQ(WholeSecondsBetween(std::nan(""), 0), INT64_MAX);
    EXPECT_EQ(WholeSecondsBetween(EncodeDate(9999, 12, 31), EncodeDate(1, 1, 1)),
              int64_t(3652058) * 86400); // whole days apart
}

TEST(StatusReader, DecodesEveryFieldByPosition) {
    auto records = Records("# directory status file \r\n"
                           "a.txt\t5\t2024/05/01 10:20:30.456 UTC\r\n"
                           "b.txt\t3221225472\t1999-12-31T23:59:59,999 UTC\r\n");
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].Name, "a.txt");
    EXPECT_EQ(records[0].Size, 5);
    EXPECT_EQ(FormatDateTime("yyyy-mm-dd hh:nn:ss.zzz", records[0].Time),
              "2024-05-01 10:20:30.456");
    // Separators are never read: any single character stands for them.
    EXPECT_EQ(records[1].Size, 3221225472);
    EXPECT_EQ(FormatDateTime("yyyy-mm-dd hh:nn:ss.zzz", records[1].Time),
              "1999-12-31 23:59:59.999");
}

TEST(StatusReader, MissingOrNonNumericPartsTakeTheirDefaults) {
    auto records = Records("a\t0\r\n"                            // no time: 2000-01-01 00:00:00.001
                           "b\tx\t2024/xx/01 1a:20:30.4 UTC\r\n" // month, hour, ms defaults
                           "c\t12\t2024/05/01 10:2\r\n"          // cut: minute "2", rest default
                           "d\t99999999999999999999\t" +
                           FullTime +
                           "\r\n" // too big: 0
                           "e\t-5\t\r\n");
    ASSERT_EQ(records.size(), 5u);
    EXPECT_EQ(FormatDateTime("yyyy-mm-dd hh:nn:ss.zzz", records[0].Time),
              "2000-01-01 00:00:00.001");
    EXPECT_EQ(records[0].Size, 0);
    EXPECT_EQ(records[1].Size, 0);
    EXPECT_EQ(FormatDateTime("yyyy-mm-dd hh:nn:ss.zzz", records[1].Time),
              "2024-01-01 00:20:30.001");
    EXPECT_EQ(records[2].Size, 12);
    EXPECT_EQ(FormatDateTime("yyyy-mm-dd hh:nn:ss.zzz", records[2].Time),
              "2024-05-01 10:02:00.001");
    EXPECT_EQ(records[3].Size, 0);
    EXPECT_EQ(records[4].Size, -5);
}

TEST(StatusReader, TimesWithoutUtcAreLocalStandardTime) {
    auto records = Records("a\t1\t2024/05/01 11:20:30.456\r\n", -60);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(FormatDateTime("yyyy-mm-dd hh:nn:ss.zzz", records[0].Time),
              "2024-05-01 10:20:30.456");
    records = Records("a\t1\t2024/05/01 11:20:30.456 utc\r\n", -60); // "UTC" is case-sensitive
    EXPECT_EQ(FormatDateTime("hh:nn", records[0].Time), "10:20");
    records = Records("a\t1\tUTC 2024/05/01 11:20:30.456\r\n", -60); // anywhere in the text
    EXPECT_EQ(FormatDateTime("hh", records[0].Time), "00");
}

TEST(StatusReader, AnImpossibleTimeStopsTheReading) {
    for (const char* bad : {"2024/13/01 10:20:30.456 UTC", "2024/04/31 10:20:30.456 UTC",
                            "2023/02/29 10:20:30.456 UTC", "2024/05/01 24:00:00.000 UTC",
                            "2024/05/01 10:60:00.000 UTC", "2024/05/01 10:20:30.-01 UTC",
                            "0000/05/01 10:20:30.456 UTC", "2024/00/01 10:20:30.456 UTC"}) {
        std::vector<std::string> names;
        std::istringstream in("a\t1\t" + FullTime + "\r\nb\t1\t" + bad + "\r\nc\t1\t" + FullTime +
                              "\r\n");
        EXPECT_THROW(
            ReadStatusRecords(in, 0, [&](const TStatusRecord& r) { names.push_back(r.Name); }),
            EConvertError)
            << bad;
        EXPECT_EQ(names, Names{"a"}) << bad;
    }
}

TEST(StatusReader, LineEndsAndSkippedLines) {
    auto records = Records("x\t1\t" + FullTime + "\n" +             // LF alone
                           "\r\n\r\n   \r\n" +                      // empty and blank lines
                           "# comment without a tab\r" +            // CR alone
                           "no tab at all 5 " + FullTime + "\r\n" + // no field separator
                           "y\t2\t" + FullTime + "   \t \r\n" +     // trailing blanks
                           "z\t3\t" + FullTime);                    // no final line end
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].Name, "x");
    EXPECT_EQ(records[1].Name, "y");
    EXPECT_EQ(records[1].Size, 2);
    EXPECT_EQ(records[2].Name, "z");
}

TEST(StatusReader, NamesAreTakenAsWritten) {
    auto records = Records(" lead.txt\t1\t" + FullTime + "\r\n" + "#notes#\t2\t" + FullTime +
                           "\r\n" + "tail.txt \t3\t" + FullTime + "\r\n");
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].Name, " lead.txt");
    EXPECT_EQ(records[1].Name, "#notes#");
    EXPECT_EQ(records[2].Name, "tail.txt ");
}

TEST(StatusReader, OverlongLinesAndNamesAreSkipped) {
    std::string longName(300, 'n');
    std::string hugeLine(100000, 'g');
    auto records = Records(longName + "\t1\t" + FullTime + "\r\n" + hugeLine + "\t1\t" + FullTime +
                           "\r\n" + hugeLine + "\r\nok\t1\t" + FullTime + "\r\n" + hugeLine);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].Name, "ok");
}

TEST(StatusReader, BinaryGarbageDoesNotStopLaterLines) {
    std::string garbage;
    for (int i = 0; i < 4000; ++i) {
        char c = static_cast<char>((i * 7919) % 256);
        garbage.push_back(c == '\t' || c == '\r' || c == '\n' ? 'g' : c);
    }
    auto records = Records(garbage + "\r\nok\t1\t" + FullTime + "\r\n");
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].Name, "ok");
    for (const TStatusRecord& r :
         Records(garbage.substr(0, 200) + "\t" + garbage + "\n\t\t\t\r\x01\t\x02\t\x03"))
        EXPECT_EQ(r.Name.find_first_of("\t\r\n"), std::string::npos);
}

// The reader as the scan applies it to the listed files.
TEST_F(DirListTest, StatusLinesMarkMatchingFilesAsSent) {
    AddFile("same.txt", 5);
    AddFile("near.txt", 5);
    AddFile("far.txt", 5);
    AddFile("bigger.txt", 6);
    AddFile("new.txt", 5);
    WriteStatus({"same.txt\t5\t2024/05/01 10:20:30.456 UTC",
                 "near.txt\t5\t2024/05/01 10:20:33.356 UTC",   // 2.9 s later
                 "far.txt\t5\t2024/05/01 10:20:33.956 UTC",    // 3.5 s later
                 "bigger.txt\t5\t2024/05/01 10:20:30.456 UTC", // size differs
                 "gone.txt\t5\t2024/05/01 10:20:30.456 UTC"});
    auto list = List();
    EXPECT_EQ(ChangedNames(*list), (Names{"bigger.txt", "far.txt", "new.txt"}));
}

TEST_F(DirListTest, LocalTimesGetTheStandardBiasOnly) {
    SetTimeZone("CET-1CEST,M3.5.0,M10.5.0/3"); // standard bias -60, summer time in May
    AddFile("standard.txt", 5);
    AddFile("summer.txt", 5);
    WriteStatus(
        {"standard.txt\t5\t2024/05/01 11:20:30.456", "summer.txt\t5\t2024/05/01 12:20:30.456"});
    auto list = List();
    EXPECT_EQ(ChangedNames(*list), (Names{"summer.txt"}));
}

TEST_F(DirListTest, MissingTimeMeansTheFirstMillisecondOf2000) {
    WriteTextFile(dir.File("empty.txt"), "");
    SetMTime(dir.File("empty.txt"), 946684800, 1); // 2000-01-01 00:00:00.001 UTC
    WriteTextFile(dir.File("later.txt"), "");
    SetMTime(dir.File("later.txt"), 946684803, 500);
    WriteStatus({"empty.txt\t0", "later.txt\tzero"});
    auto list = List();
    EXPECT_EQ(ChangedNames(*list), (Names{"later.txt"}));
}

TEST_F(DirListTest, TheLastLineOfANameDecides) {
    AddFile("a.txt", 5);
    AddFile("b.txt", 5);
    WriteStatus({"a.txt\t5\t" + FullTime, "a.txt\t6\t" + FullTime, "b.txt\t6\t" + FullTime,
                 "b.txt\t5\t" + FullTime});
    EXPECT_EQ(ChangedNames(*List()), (Names{"a.txt"}));
}

TEST_F(DirListTest, ReadingStopsAtTheFirstImpossibleTime) {
    AddFile("a.txt", 5);
    AddFile("b.txt", 5);
    AddFile("c.txt", 5);
    WriteStatus({"a.txt\t5\t" + FullTime, "b.txt\t5\t2024/13/01 10:20:30.456 UTC",
                 "c.txt\t5\t" + FullTime});
    EXPECT_EQ(ChangedNames(*List()), (Names{"b.txt", "c.txt"}));
}

TEST_F(DirListTest, DamagedStatusFilesLeaveFilesChanged) {
    AddFile("a.txt", 5);
    AddFile("b.txt", 5);
    const std::string good = "b.txt\t5\t" + FullTime;
    struct Case {
        std::string text;
        Names changed;
    } cases[] = {
        {"", {"a.txt", "b.txt"}},
        {std::string("\0\0\0\xff\xfe", 5), {"a.txt", "b.txt"}},
        {"a.txt\t5\t2024/05/01 10:2\r\n" + good, {"a.txt"}},                     // cut time
        {"a.txt\t5\r\n" + good + "\r\n", {"a.txt"}},                             // no time
        {"a.txt\t5\t 2024/05/01 10:20:30.456 UTC\r\n" + good, {"a.txt"}},        // shifted
        {"a.txt 5 2024/05/01 10:20:30.456 UTC\r\n" + good, {"a.txt"}},           // no TABs
        {"a.txt\t99999999999999999999\t" + FullTime + "\r\n" + good, {"a.txt"}}, // huge size
        {"a.txt\t5\t" + FullTime + "\r\n" + good, {}},
        {"A.TXT\t5\t" + FullTime + "\r\nB.txt\t5\t" + FullTime, {}}, // case of the name
    };
    for (const Case& c : cases) {
        WriteRawStatus(c.text);
        EXPECT_EQ(ChangedNames(*List()), c.changed) << c.text;
    }
}

TEST_F(DirListTest, AnUnreadableStatusFileIsIgnored) {
    AddFile("a.txt", 5);
    ASSERT_EQ(mkdir(dir.File("trlist0.dst").c_str(), 0755), 0); // a directory in its place
    EXPECT_EQ(ChangedNames(*List()), (Names{"a.txt"}));
}

TEST_F(DirListTest, AFifoInPlaceOfTheStatusFileDoesNotBlock) {
    AddFile("a.txt", 5);
    ASSERT_EQ(mkfifo(dir.File("trlist0.dst").c_str(), 0644), 0);
    int result = RunForked([&] {
        alarm(10);
        return ChangedNames(*List()) == Names{"a.txt"} ? 0 : 1;
    });
    EXPECT_EQ(result, 0);
}

TEST_F(DirListTest, ExactNameWinsOverOneThatDiffersInCase) {
    AddFile("a.txt", 5);
    AddFile("A.TXT", 5);
    WriteStatus({"a.txt\t5\t" + FullTime});
    EXPECT_EQ(ChangedNames(*List()), (Names{"A.TXT"}));
    WriteStatus({"A.TXT\t5\t" + FullTime, "a.txt\t5\t" + FullTime});
    EXPECT_TRUE(ChangedNames(*List()).empty());
}

TEST_F(DirListTest, ALongNameDoesNotMatchItsCutForm) {
    std::string name(255, 'n');
    AddFile(name, 5);
    WriteStatus({name + "xyz\t5\t" + FullTime});
    EXPECT_EQ(ChangedNames(*List()), (Names{name}));
    WriteStatus({name + "\t5\t" + FullTime});
    EXPECT_TRUE(ChangedNames(*List()).empty());
}
