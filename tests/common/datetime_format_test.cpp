#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>

#include "common/datetime.h"
#include "tests/support/tempdir.h"

namespace {

TDateTime At(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
    return ComposeDateTime(EncodeDate(y, mo, d), EncodeTime(h, mi, s, ms));
}

TFormatSettings Separators(char date, char time) {
    TFormatSettings fs;
    fs.DateSeparator = date;
    fs.TimeSeparator = time;
    return fs;
}

const TDateTime Sample = At(2026, 3, 5, 14, 7, 9, 45); // a Thursday

// --- The formats the system prints ---

TEST(FormatDateTime, StatusFileHeaderTime) {
    EXPECT_EQ(FormatDateTime("yyyy/mm/dd hh:nn:ss:zzz", Sample, TFormatSettings{}),
              "2026/03/05 14:07:09:045");
    EXPECT_EQ(FormatDateTime("yyyy/mm/dd hh:nn:ss:zzz", Sample, Separators('-', '.')),
              "2026-03-05 14.07.09.045");
}

TEST(FormatDateTime, StatusFileLineTimeHasFixedPositions) {
    const std::string text =
        FormatDateTime("yyyyy/mm/dd hh:nn:ss.zzz", At(987, 1, 2, 3, 4, 5, 6), TFormatSettings{});
    EXPECT_EQ(text, "0987/01/02 03:04:05.006");
    // The reader takes year 1-4, month 6-7, day 9-10, hour 12-13, minute 15-16, second 18-19
    // and milliseconds 21-23, whatever the separators are.
    const std::string other =
        FormatDateTime("yyyyy/mm/dd hh:nn:ss.zzz", Sample, Separators('.', '-'));
    EXPECT_EQ(other, "2026.03.05 14-07-09.045");
    EXPECT_EQ(other.substr(0, 4) + other.substr(5, 2) + other.substr(8, 2) + other.substr(11, 2) +
                  other.substr(14, 2) + other.substr(17, 2) + other.substr(20, 3),
              "20260305140709045");
}

TEST(FormatDateTime, ElapsedTimes) {
    const TDateTime elapsed = (3723004.0) / MSecsPerDay; // 1 h 2 min 3.004 s
    EXPECT_EQ(FormatDateTime("h:nn:ss:zzz", elapsed, TFormatSettings{}), "1:02:03:004");
    EXPECT_EQ(FormatDateTime("h:mm:ss:zzz", elapsed, TFormatSettings{}), "1:02:03:004");
    EXPECT_EQ(FormatDateTime("h:nn:ss:zzz", 0.0, TFormatSettings{}), "0:00:00:000");
    // Whole days are not shown.
    EXPECT_EQ(FormatDateTime("h:nn:ss:zzz", 1.0 + elapsed, TFormatSettings{}), "1:02:03:004");
    EXPECT_EQ(FormatDateTime("h:nn:ss:zzz", 0.5 + elapsed, Separators('/', '.')), "13.02.03.004");
}

TEST(FormatDateTime, LogPrefixIgnoresTheLocale) {
    const TFormatSettings fs = LogFormatSettings();
    const TDateTime when = At(2026, 3, 5, 14, 7, 9, 999);
    EXPECT_EQ(FormatDateTime("ddddd", when, fs) + " " + FormatDateTime("tt", when, fs),
              "05/03/2026 14:07:09");
    EXPECT_EQ(FormatDateTime("dd/mm/yyyy", when, fs), "05/03/2026");
    EXPECT_EQ(FormatDateTime("t", when, fs), "14:07");
}

TEST(FormatDateTime, AnswerTime) {
    EXPECT_EQ(FormatDateTime("hh:nn:ss", At(2026, 3, 5, 4, 3, 59), TFormatSettings{}), "04:03:59");
    EXPECT_EQ(FormatDateTime("hh:nn:ss", At(2026, 3, 5, 4, 3, 59), Separators('/', '.')),
              "04.03.59");
}

// --- Letters ---

TEST(FormatDateTime, YearLetters) {
    const TFormatSettings fs;
    EXPECT_EQ(FormatDateTime("y", Sample, fs), "26");
    EXPECT_EQ(FormatDateTime("yy", Sample, fs), "26");
    EXPECT_EQ(FormatDateTime("yyy", Sample, fs), "2026");
    EXPECT_EQ(FormatDateTime("yyyy", At(5, 1, 1), fs), "0005");
    EXPECT_EQ(FormatDateTime("yy", At(2005, 1, 1), fs), "05");
}

TEST(FormatDateTime, MonthAndDayLetters) {
    const TFormatSettings fs;
    EXPECT_EQ(FormatDateTime("d m", Sample, fs), "5 3");
    EXPECT_EQ(FormatDateTime("dd mm", Sample, fs), "05 03");
    EXPECT_EQ(FormatDateTime("ddd dddd", Sample, fs), "Thu Thursday");
    EXPECT_EQ(FormatDateTime("mmm mmmm", Sample, fs), "Mar March");
    EXPECT_EQ(FormatDateTime("dddddd", Sample, fs), "Thursday, March 5, 2026");
    // m right after an hour run means minutes, also across a separator; elsewhere months.
    EXPECT_EQ(FormatDateTime("hh:mm mm", Sample, fs), "14:07 03");
    EXPECT_EQ(FormatDateTime("yyyy/mm", Sample, fs), "2026/03");
}

TEST(FormatDateTime, TimeLetters) {
    const TFormatSettings fs;
    const TDateTime early = At(2026, 3, 5, 4, 3, 2, 1);
    EXPECT_EQ(FormatDateTime("h n s z", early, fs), "4 3 2 1");
    EXPECT_EQ(FormatDateTime("hh nn ss zzz", early, fs), "04 03 02 001");
    EXPECT_EQ(FormatDateTime("hhh", early, fs), "04");
    EXPECT_EQ(FormatDateTime("zz", early, fs), "1");
}

TEST(FormatDateTime, TwelveHourClock) {
    const TFormatSettings fs;
    EXPECT_EQ(FormatDateTime("h:nn am/pm", Sample, fs), "2:07 pm");
    EXPECT_EQ(FormatDateTime("hh AM/PM", At(2026, 3, 5, 0, 30), fs), "12 AM");
    EXPECT_EQ(FormatDateTime("h a/p", At(2026, 3, 5, 12), fs), "12 p");
    EXPECT_EQ(FormatDateTime("h ampm", Sample, fs), "2 PM");
    EXPECT_EQ(FormatDateTime("h 'am/pm'", Sample, fs), "14 am/pm");
    EXPECT_EQ(FormatDateTime("h hh am/pm", Sample, fs), "14 02 pm");
    EXPECT_EQ(FormatDateTime("a", Sample, fs), "a");
}

TEST(FormatDateTime, QuotedTextAndOtherCharacters) {
    const TFormatSettings fs;
    EXPECT_EQ(FormatDateTime("'at' hh\"h\"nn", Sample, fs), "at 14h07");
    EXPECT_EQ(FormatDateTime("'unterminated", Sample, fs), "unterminated");
    EXPECT_EQ(FormatDateTime("[hh] #x", Sample, fs), "[14] #x");
    EXPECT_EQ(FormatDateTime("\xc3\xa9\xc3\xa9 yyyy", Sample, fs), "\xc3\xa9\xc3\xa9 2026");
}

TEST(FormatDateTime, CombinedFormats) {
    TFormatSettings fs;
    EXPECT_EQ(FormatDateTime("c", Sample, fs), "05/03/2026 14:07:09");
    EXPECT_EQ(FormatDateTime("c", EncodeDate(2026, 3, 5), fs), "05/03/2026");
    EXPECT_EQ(FormatDateTime("", EncodeDate(2026, 3, 5), fs), "05/03/2026");
    // A settings format that names itself stops instead of recursing for ever.
    fs.ShortDateFormat = "ddddd|";
    EXPECT_EQ(FormatDateTime("ddddd", Sample, fs), "||");
}

TEST(FormatDateTime, DatesBefore18991230) {
    EXPECT_EQ(FormatDateTime("yyyy/mm/dd hh:nn", -1.25, TFormatSettings{}), "1899/12/29 06:00");
    EXPECT_EQ(
        FormatDateTime("yyyy/mm/dd hh:nn:ss.zzz", At(1601, 1, 1, 0, 0, 0, 1), TFormatSettings{}),
        "1601/01/01 00:00:00.001");
}

// --- Numbers ---

TEST(FormatNumber, GroupsDigitsAndAlignsRight) {
    TFormatSettings fs;
    fs.ThousandSeparator = ",";
    EXPECT_EQ(FormatNumber(0, 12, 0, fs), "           0");
    EXPECT_EQ(FormatNumber(999, 12, 0, fs), "         999");
    EXPECT_EQ(FormatNumber(1000, 12, 0, fs), "       1,000");
    EXPECT_EQ(FormatNumber(1234567, 12, 0, fs), "   1,234,567");
    EXPECT_EQ(FormatNumber(4294967295.0, 12, 0, fs), "4,294,967,295"); // wider than 12: no cut
    EXPECT_EQ(FormatNumber(-1234, 12, 0, fs), "      -1,234");
    EXPECT_EQ(FormatNumber(9007199254740992.0, 0, 0, fs), "9,007,199,254,740,992");
    EXPECT_EQ(FormatNumber(1234.5, 0, 2, fs), "1,234.50");
}

TEST(FormatNumber, SeparatorsOfTheSettings) {
    TFormatSettings fs;
    EXPECT_EQ(FormatNumber(1234567, 12, 0, fs), "     1234567");
    fs.ThousandSeparator = ".";
    fs.DecimalSeparator = ',';
    EXPECT_EQ(FormatNumber(1234567.25, 0, 2, fs), "1.234.567,25");
    fs.ThousandSeparator = "\xe2\x80\xaf"; // narrow no-break space: one character wide
    EXPECT_EQ(FormatNumber(1234, 12, 0, fs), "       1\xe2\x80\xaf"
                                             "234");
}

TEST(FormatNumber, Rounding) {
    const TFormatSettings fs;
    EXPECT_EQ(FormatNumber(0.5, 0, 0, fs), "1");
    EXPECT_EQ(FormatNumber(2.5, 0, 0, fs), "3");
    EXPECT_EQ(FormatNumber(-0.4, 0, 0, fs), "0");
    EXPECT_EQ(FormatNumber(-2.5, 0, 0, fs), "-3");
}

// --- Locale ---

TEST(LocaleFormats, TranslatesTheLocaleDateAndTimeFormats) {
    TFormatSettings fs;
    ApplyLocaleDateTimeFormats(fs, "%d.%m.%Y", "%T");
    EXPECT_EQ(fs.DateSeparator, '.');
    EXPECT_EQ(fs.TimeSeparator, ':');
    EXPECT_EQ(fs.ShortDateFormat, "dd/mm/yyyy");
    EXPECT_EQ(fs.LongTimeFormat, "hh:nn:ss");
    EXPECT_EQ(fs.ShortTimeFormat, "hh:nn");
    EXPECT_EQ(FormatDateTime("ddddd tt", Sample, fs), "05.03.2026 14:07:09");

    fs = TFormatSettings{};
    ApplyLocaleDateTimeFormats(fs, "%D", "%r");
    EXPECT_EQ(fs.ShortDateFormat, "mm/dd/yy");
    EXPECT_EQ(fs.LongTimeFormat, "hh:nn:ss ampm");
    EXPECT_EQ(fs.ShortTimeFormat, "hh:nn ampm");
    EXPECT_EQ(FormatDateTime("ddddd t", Sample, fs), "03/05/26 02:07 PM");

    fs = TFormatSettings{};
    ApplyLocaleDateTimeFormats(fs, "%Y-%m-%d", "%H.%M.%S");
    EXPECT_EQ(FormatDateTime("ddddd tt", Sample, fs), "2026-03-05 14.07.09");
}

TEST(LocaleFormats, LiteralsWithoutSeparatorAreQuoted) {
    TFormatSettings fs;
    ApplyLocaleDateTimeFormats(fs, "%Y\xe5\xb9\xb4%m\xe6\x9c\x88%d\xe6\x97\xa5", "%Hh%M");
    EXPECT_EQ(fs.DateSeparator, '/');
    EXPECT_EQ(FormatDateTime("ddddd", Sample, fs), "2026\xe5\xb9\xb4"
                                                   "03\xe6\x9c\x88"
                                                   "05\xe6\x97\xa5");
    EXPECT_EQ(FormatDateTime("tt", Sample, fs), "14h07");
}

TEST(LocaleFormats, CLocale) {
    std::setlocale(LC_ALL, "C");
    const TFormatSettings fs = LocaleFormatSettings();
    EXPECT_EQ(fs.DateSeparator, '/');
    EXPECT_EQ(fs.TimeSeparator, ':');
    EXPECT_EQ(fs.DecimalSeparator, '.');
    EXPECT_EQ(fs.ThousandSeparator, "");
    EXPECT_EQ(fs.ShortDateFormat, "mm/dd/yy");
    EXPECT_EQ(FormatNumber(1234567, 12, 0), "     1234567");
}

// A German locale compiled into a temporary directory: "." between date parts and digit
// groups, "," as decimal point. Skipped where localedef or its sources are missing.
TEST(LocaleFormats, CompiledGermanLocale) {
    TempDir dir;
    const std::string command =
        "localedef -i de_DE -f UTF-8 " + dir.File("de_DE.UTF-8") + " >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0 || !FileExists(dir.File("de_DE.UTF-8")))
        GTEST_SKIP() << "localedef cannot build de_DE here";
    setenv("LOCPATH", dir.Path().c_str(), 1);
    const bool switched = std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr;
    TFormatSettings fs;
    if (switched)
        fs = LocaleFormatSettings();
    const TFormatSettings log = LogFormatSettings();
    std::setlocale(LC_ALL, "C");
    unsetenv("LOCPATH");
    ASSERT_TRUE(switched);
    EXPECT_EQ(fs.DateSeparator, '.');
    EXPECT_EQ(fs.DecimalSeparator, ',');
    EXPECT_EQ(fs.ThousandSeparator, ".");
    EXPECT_EQ(FormatNumber(1234567, 12, 0, fs), "   1.234.567");
    EXPECT_EQ(FormatDateTime("ddddd mmmm", Sample, fs), "05.03.2026 M\xc3\xa4rz");
    EXPECT_EQ(FormatDateTime("yyyyy/mm/dd hh:nn:ss.zzz", Sample, fs), "2026.03.05 14:07:09.045");
    EXPECT_EQ(FormatDateTime("ddddd tt", Sample, log), "05/03/2026 14:07:09");
    EXPECT_EQ(log.DecimalSeparator, '.');
}

} // namespace
