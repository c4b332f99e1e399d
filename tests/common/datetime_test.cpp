#include "common/datetime.h"

#include <cmath>
#include <cstring>
#include <ctime>
#include <gtest/gtest.h>

#include "platform/errors.h"

namespace {

TDateTime At(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
    return ComposeDateTime(EncodeDate(y, mo, d), EncodeTime(h, mi, s, ms));
}

struct Fields {
    int y, mo, d, h, mi, s, ms;
    bool operator==(const Fields&) const = default;
};

Fields Decoded(TDateTime dt) {
    Fields f{};
    DecodeDate(dt, f.y, f.mo, f.d);
    DecodeTime(dt, f.h, f.mi, f.s, f.ms);
    return f;
}

std::ostream& operator<<(std::ostream& os, const Fields& f) {
    return os << f.y << '-' << f.mo << '-' << f.d << ' ' << f.h << ':' << f.mi << ':' << f.s << '.'
              << f.ms;
}

// --- Encoding and decoding ---

TEST(DateTimeEncode, DayCountsFrom18991230) {
    EXPECT_EQ(EncodeDate(1899, 12, 30), 0.0);
    EXPECT_EQ(EncodeDate(1900, 1, 1), 2.0);
    EXPECT_EQ(EncodeDate(1970, 1, 1), 25569.0);
    EXPECT_EQ(EncodeDate(2000, 1, 1), 36526.0);
    EXPECT_EQ(EncodeDate(1899, 12, 29), -1.0);
    EXPECT_EQ(EncodeDate(1, 1, 1), -693593.0);
    EXPECT_EQ(EncodeDate(9999, 12, 31), 2958465.0);
    EXPECT_EQ(EncodeTime(6, 0, 0, 0), 0.25);
    EXPECT_EQ(EncodeTime(12, 0, 0, 0), 0.5);
}

TEST(DateTimeEncode, InvalidDatesAndTimesRaise) {
    EXPECT_THROW(EncodeDate(1900, 2, 29), EConvertError);
    EXPECT_NO_THROW(EncodeDate(2000, 2, 29));
    EXPECT_THROW(EncodeDate(2026, 13, 1), EConvertError);
    EXPECT_THROW(EncodeDate(2026, 4, 31), EConvertError);
    EXPECT_THROW(EncodeDate(0, 1, 1), EConvertError);
    EXPECT_THROW(EncodeDate(10000, 1, 1), EConvertError);
    EXPECT_THROW(EncodeTime(24, 0, 0, 0), EConvertError);
    EXPECT_THROW(EncodeTime(0, 60, 0, 0), EConvertError);
    EXPECT_THROW(EncodeTime(0, 0, 60, 0), EConvertError);
    EXPECT_THROW(EncodeTime(0, 0, 0, 1000), EConvertError);
    EXPECT_THROW(EncodeTime(-1, 0, 0, 0), EConvertError);
    TDateTime unused;
    EXPECT_FALSE(TryEncodeDate(2023, 2, 29, unused));
    EXPECT_TRUE(TryEncodeTime(23, 59, 59, 999, unused));
}

TEST(DateTimeEncode, EveryDayOfTheYears1To9999RoundTrips) {
    int y = 1, m = 1, d = 1;
    for (int day = -693593; day <= 2958465; ++day) {
        int dy, dm, dd;
        DecodeDate(day, dy, dm, dd);
        ASSERT_EQ(dy * 10000 + dm * 100 + dd, y * 10000 + m * 100 + d) << day;
        ASSERT_EQ(EncodeDate(y, m, d), day);
        if (++d > DaysInMonth(y, m)) {
            d = 1;
            if (++m > 12) {
                m = 1;
                ++y;
            }
        }
    }
}

TEST(DateTimeEncode, ValuesBefore18991230CountTheTimeAwayFromZero) {
    // -1.25: one day back (1899-12-29), the fraction's size is the time of day (06:00).
    EXPECT_EQ(At(1899, 12, 29, 6), -1.25);
    EXPECT_EQ(Decoded(-1.25), (Fields{1899, 12, 29, 6, 0, 0, 0}));
    EXPECT_EQ(Decoded(-2.75), (Fields{1899, 12, 28, 18, 0, 0, 0}));
    EXPECT_EQ(Decoded(At(1601, 1, 1, 23, 59, 59, 999)), (Fields{1601, 1, 1, 23, 59, 59, 999}));
    EXPECT_EQ(Decoded(At(1, 1, 1, 12, 30)), (Fields{1, 1, 1, 12, 30, 0, 0}));
    // Between -1 and 0 there is no earlier day: such values read as 1899-12-30.
    EXPECT_EQ(Decoded(-0.5), (Fields{1899, 12, 30, 12, 0, 0, 0}));
}

TEST(DateTimeEncode, DecodingRoundsTheWholeValueToMilliseconds) {
    const TDateTime almostMidnight = EncodeDate(2026, 3, 5) + 86399999.6 / MSecsPerDay;
    EXPECT_EQ(Decoded(almostMidnight), (Fields{2026, 3, 6, 0, 0, 0, 0}));
    const TDateTime early = EncodeDate(2026, 3, 5) + 0.4 / MSecsPerDay;
    EXPECT_EQ(Decoded(early), (Fields{2026, 3, 5, 0, 0, 0, 0}));
    // Every millisecond of a day survives encode and decode.
    for (int ms = 0; ms < 86400000; ms += 997) {
        const Fields f{2026, 3, 5, ms / 3600000, ms / 60000 % 60, ms / 1000 % 60, ms % 1000};
        ASSERT_EQ(Decoded(At(f.y, f.mo, f.d, f.h, f.mi, f.s, f.ms)), f);
    }
}

TEST(DateTimeEncode, ValuesOutsideTheYears1To9999AreBroughtIntoRange) {
    EXPECT_EQ(Decoded(1e300), (Fields{9999, 12, 31, 23, 59, 59, 999}));
    EXPECT_EQ(Decoded(-1e300), (Fields{1, 1, 1, 23, 59, 59, 999}));
    EXPECT_EQ(Decoded(std::nan("")), (Fields{1899, 12, 30, 0, 0, 0, 0}));
}

TEST(DateTimeEncode, DayOfWeek) {
    EXPECT_EQ(DayOfWeekOf(EncodeDate(1899, 12, 30)), 6); // Saturday
    EXPECT_EQ(DayOfWeekOf(EncodeDate(2026, 3, 5)), 4);   // Thursday
    EXPECT_EQ(DayOfWeekOf(-1.25), 5);                    // Friday 1899-12-29
    EXPECT_EQ(DayOfWeekOf(EncodeDate(1601, 1, 1)), 1);   // Monday
    EXPECT_EQ(DateTimeToSystemTime(At(2026, 3, 8, 1)).wDayOfWeek, 0);
}

TEST(DateTimeEncode, IntervalsAcrossTheStartOfTheDayCount) {
    // 1899-12-29 06:00 to 1899-12-30 06:00 is one day, though the values are -1.25 and 0.25.
    EXPECT_EQ(MilliSecondsBetween(0.25, -1.25), 86400000);
    EXPECT_EQ(MilliSecondsBetween(-1.25, 0.25), 86400000);
    EXPECT_EQ(SecondsBetween(At(2026, 3, 5, 0, 0, 40, 999), At(2026, 3, 5)), 40);
    EXPECT_EQ(SecondsBetween(At(2026, 3, 5), At(2026, 3, 5, 0, 0, 40, 999)), 40);
    EXPECT_EQ(DateOf(-1.25), -1.0);
    EXPECT_EQ(TimeOf(-1.25), 0.25);
}

// --- SYSTEMTIME and FILETIME ---

TEST(SystemTime, ConvertsBothWays) {
    const SYSTEMTIME st{2026, 3, 4, 5, 14, 7, 9, 45};
    const TDateTime dt = SystemTimeToDateTime(st);
    EXPECT_EQ(dt, At(2026, 3, 5, 14, 7, 9, 45));
    const SYSTEMTIME back = DateTimeToSystemTime(dt);
    EXPECT_EQ(std::memcmp(&back, &st, sizeof st), 0);
    const SYSTEMTIME old{1899, 12, 5, 29, 6, 0, 0, 0};
    EXPECT_EQ(SystemTimeToDateTime(old), -1.25);
    const SYSTEMTIME bad{2026, 2, 0, 30, 0, 0, 0, 0};
    EXPECT_THROW(SystemTimeToDateTime(bad), EConvertError);
}

TEST(FileTime, KnownValues) {
    SYSTEMTIME st{};
    ASSERT_TRUE(FileTimeToSystemTime(FILETIME{0, 0}, st));
    EXPECT_EQ(st.wYear, 1601);
    EXPECT_EQ(st.wDayOfWeek, 1);
    const FILETIME epoch = UnixTimeToFileTime(0, 0);
    EXPECT_EQ((uint64_t{epoch.dwHighDateTime} << 32) | epoch.dwLowDateTime, 116444736000000000ull);
    ASSERT_TRUE(FileTimeToSystemTime(epoch, st));
    EXPECT_EQ(SystemTimeToDateTime(st), 25569.0);
    EXPECT_EQ(st.wDayOfWeek, 4);
    EXPECT_FALSE(FileTimeToSystemTime(FILETIME{0, 0x80000000u}, st));
    ASSERT_TRUE(FileTimeToSystemTime(FILETIME{0xFFFFFFFFu, 0x7FFFFFFFu}, st));
    EXPECT_EQ(st.wYear, 30828);
}

TEST(FileTime, UnixTimesOutsideTheRangeAreClamped) {
    const FILETIME before = UnixTimeToFileTime(-11644473601, 0);
    EXPECT_EQ(before.dwLowDateTime | before.dwHighDateTime, 0u);
    const FILETIME after = UnixTimeToFileTime(INT64_MAX, 999999999);
    EXPECT_EQ(after.dwHighDateTime, 0x7FFFFFFFu);
    EXPECT_EQ(after.dwLowDateTime, 0xFFFFFFFFu);
    const FILETIME ns = UnixTimeToFileTime(0, 199); // whole 100 ns ticks only
    EXPECT_EQ(ns.dwLowDateTime - UnixTimeToFileTime(0, 0).dwLowDateTime, 1u);
}

// --- Clock ---

TEST(Clock, NowIsTheLocalWallClock) {
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    const TDateTime expected =
        At(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    EXPECT_LE(MilliSecondsBetween(Now(), expected), 2000);
    const TDateTime utc = static_cast<double>(t) / SecsPerDay + 25569.0;
    EXPECT_LE(MilliSecondsBetween(NowUtc(), utc), 2000);
}

} // namespace
