// Date-time support: the double day count since 1899-12-30 (the fraction is the time of day),
// SYSTEMTIME and FILETIME records, and the date-time and number formats the system prints.
// The one place for these; every unit formats through here.
//
// A value before 1899-12-30 is negative: its whole part counts the days back and the size of
// its fraction is the time of day (-1.25 is 1899-12-29 06:00).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

using TDateTime = double;

constexpr double SecsPerDay = 86400.0;
constexpr double MSecsPerDay = 86400000.0;

// 16 bytes: eight 16-bit fields.
struct SYSTEMTIME {
    uint16_t wYear;
    uint16_t wMonth;
    uint16_t wDayOfWeek; // 0 = Sunday
    uint16_t wDay;
    uint16_t wHour;
    uint16_t wMinute;
    uint16_t wSecond;
    uint16_t wMilliseconds;
};
static_assert(sizeof(SYSTEMTIME) == 16);

// 100-nanosecond intervals since 1601-01-01 (UTC for file times).
struct FILETIME {
    uint32_t dwLowDateTime;
    uint32_t dwHighDateTime;
};

// Separators, formats and names used by FormatDateTime and FormatNumber. The defaults are
// the fixed settings of the log-line prefix, with English names.
struct TFormatSettings {
    char DateSeparator = '/';
    char TimeSeparator = ':';
    char DecimalSeparator = '.';
    std::string ThousandSeparator; // empty: none (C locale); may be a multi-byte character
    std::string ShortDateFormat = "dd/mm/yyyy";
    std::string LongDateFormat = "dddd, mmmm d, yyyy";
    std::string ShortTimeFormat = "hh:nn";
    std::string LongTimeFormat = "hh:nn:ss";
    std::string TimeAMString = "AM";
    std::string TimePMString = "PM";
    std::array<std::string, 12> ShortMonthNames{"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::array<std::string, 12> LongMonthNames{"January",   "February", "March",    "April",
                                               "May",       "June",     "July",     "August",
                                               "September", "October",  "November", "December"};
    std::array<std::string, 7> ShortDayNames{"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    std::array<std::string, 7> LongDayNames{"Sunday",   "Monday", "Tuesday", "Wednesday",
                                            "Thursday", "Friday", "Saturday"};
};

// The settings of the current locale (D_FMT and T_FMT give the separators and the short
// date format, then the thousands separator, decimal point and names), read after
// setlocale(LC_ALL, "").
TFormatSettings LocaleFormatSettings();
// The fixed settings of the log-line prefix, independent of the locale: the locale's
// settings with ".", "/", ":", "dd/mm/yyyy", "hh:nn" and "hh:nn:ss".
TFormatSettings LogFormatSettings();
// The settings that a locale's D_FMT and T_FMT texts ("%d.%m.%Y", "%T", ...) give.
void ApplyLocaleDateTimeFormats(TFormatSettings& fs, std::string_view dateFormat,
                                std::string_view timeFormat);

TDateTime EncodeDate(int year, int month, int day); // throws EConvertError when invalid
TDateTime EncodeTime(int hour, int minute, int second, int msec); // likewise
bool TryEncodeDate(int year, int month, int day, TDateTime& result);
bool TryEncodeTime(int hour, int minute, int second, int msec, TDateTime& result);
// Date part plus time part, the time counting away from zero for negative dates.
TDateTime ComposeDateTime(TDateTime date, TDateTime time);
// The value is first rounded to whole milliseconds; date and time come from that.
void DecodeDate(TDateTime dt, int& year, int& month, int& day);
void DecodeTime(TDateTime dt, int& hour, int& minute, int& second, int& msec);
int DayOfWeekOf(TDateTime dt); // 0 = Sunday
bool IsLeapYear(int year);
int DaysInMonth(int year, int month);

TDateTime DateOf(TDateTime dt); // whole days
TDateTime TimeOf(TDateTime dt); // time of day, 0 <= result < 1
// Whole milliseconds / seconds between two values, fraction dropped, never negative.
int64_t MilliSecondsBetween(TDateTime a, TDateTime b);
int64_t SecondsBetween(TDateTime a, TDateTime b);

TDateTime SystemTimeToDateTime(const SYSTEMTIME& st); // throws EConvertError when invalid
SYSTEMTIME DateTimeToSystemTime(TDateTime dt);

// Current local time as a day count (localtime_r).
TDateTime Now();
// Current UTC time as a day count.
TDateTime NowUtc();
// Local and UTC wall clock as SYSTEMTIME.
SYSTEMTIME GetLocalTimeST();
SYSTEMTIME GetSystemTimeST();
// FILETIME -> SYSTEMTIME (UTC in, UTC out); false for values of 2^63 and above.
bool FileTimeToSystemTime(const FILETIME& ft, SYSTEMTIME& st);

// Unix seconds and nanoseconds since 1970 as a FILETIME; times before 1601 give 0, times
// beyond the largest convertible FILETIME give that one. Inline so that the platform layer
// (directory search) can use it without linking the common library.
inline FILETIME UnixTimeToFileTime(int64_t seconds, int64_t nanoseconds) {
    constexpr int64_t EpochDifference = 11644473600; // seconds from 1601-01-01 to 1970-01-01
    constexpr int64_t TicksPerSecond = 10000000;
    constexpr int64_t MaxTicks = INT64_MAX;
    constexpr int64_t MaxSeconds = MaxTicks / TicksPerSecond - EpochDifference;
    int64_t ticks;
    if (seconds < -EpochDifference)
        ticks = 0;
    else if (seconds >= MaxSeconds)
        ticks = MaxTicks;
    else
        ticks = (seconds + EpochDifference) * TicksPerSecond + nanoseconds / 100;
    if (ticks < 0)
        ticks = 0;
    const auto u = static_cast<uint64_t>(ticks);
    return FILETIME{static_cast<uint32_t>(u & 0xFFFFFFFFu), static_cast<uint32_t>(u >> 32)};
}

// Time-zone standard bias in minutes (UTC = local + bias).
int TimeZoneBias();

// Formats with the date-time format letters, as the system's texts use them ("dd/mm/yyyy",
// "hh:nn:ss", "yyyy/mm/dd hh:nn:ss:zzz", "h:nn:ss:zzz", ...):
//   d dd ddd dddd ddddd dddddd   day, two-digit day, day names, short / long date format
//   m mm mmm mmmm                month, two-digit month, month names; right after an h run
//                                m and mm are minutes ("h:mm:ss")
//   y yy / yyy or more           two-digit year / four-digit year
//   h hh  n nn  s ss             hour, minute, second (one letter: no leading zero)
//   z zz / zzz                   milliseconds without / with leading zeros
//   t tt  c                      short / long time format; short date and long time
//   am/pm a/p ampm               12-hour clock with the format's or the settings' texts
//   / :                          the settings' date and time separators
//   "..." '...'                  literal text
// Every other character is copied. An empty format means "c".
std::string FormatDateTime(std::string_view format, TDateTime dt, const TFormatSettings& fs);
std::string FormatDateTime(std::string_view format, TDateTime dt); // locale settings

// "%<width>.<decimals>n": a number with thousands separators, right-aligned in `width`
// characters (a multi-byte separator counts as one).
std::string FormatNumber(double value, int width, int decimals, const TFormatSettings& fs);
std::string FormatNumber(double value, int width, int decimals); // locale settings
