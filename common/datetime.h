// Date-time support: the double day count since 1899-12-30 (the fraction is the time of day),
// SYSTEMTIME and FILETIME records, and the date-time and number formats the system prints.
// The one place for these; every unit formats through here.
#pragma once

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

// Separators and formats used by FormatDateTime and FormatNumber.
struct TFormatSettings {
    char DateSeparator = '/';
    char TimeSeparator = ':';
    char DecimalSeparator = '.';
    std::string ThousandSeparator; // empty: none (C locale)
    std::string ShortDateFormat = "dd/mm/yyyy";
    std::string ShortTimeFormat = "hh:nn";
    std::string LongTimeFormat = "hh:nn:ss";
};

// The separators of the current locale (D_FMT, T_FMT, thousands separator), read after
// setlocale(LC_ALL, "").
TFormatSettings LocaleFormatSettings();
// The fixed settings of the log-line prefix, independent of the locale.
TFormatSettings LogFormatSettings();

TDateTime EncodeDate(int year, int month, int day); // throws EConvertError when invalid
TDateTime EncodeTime(int hour, int minute, int second, int msec);
bool TryEncodeDate(int year, int month, int day, TDateTime& result);
bool TryEncodeTime(int hour, int minute, int second, int msec, TDateTime& result);
void DecodeDate(TDateTime dt, int& year, int& month, int& day);
void DecodeTime(TDateTime dt, int& hour, int& minute, int& second, int& msec);

TDateTime SystemTimeToDateTime(const SYSTEMTIME& st);
SYSTEMTIME DateTimeToSystemTime(TDateTime dt);

// Current local time as a day count (localtime_r).
TDateTime Now();
// Current UTC time as a day count.
TDateTime NowUtc();
// Local and UTC wall clock as SYSTEMTIME.
SYSTEMTIME GetLocalTimeST();
SYSTEMTIME GetSystemTimeST();
// FILETIME <-> SYSTEMTIME (UTC); false when out of range.
bool FileTimeToSystemTime(const FILETIME& ft, SYSTEMTIME& st);
FILETIME UnixTimeToFileTime(int64_t seconds, int64_t nanoseconds);
// Time-zone standard bias in minutes (UTC = local + bias).
int TimeZoneBias();

// Formats with the date-time format letters d dd ddddd m mm yy yyyy h hh n nn s ss z zzz t tt
// "/" ":" and quoted text, as the system's texts use them ("dd/mm/yyyy", "hh:nn:ss",
// "yyyy/mm/dd hh:nn:ss:zzz", "h:nn:ss:zzz", ...). "/" and ":" print the settings' separators.
std::string FormatDateTime(std::string_view format, TDateTime dt, const TFormatSettings& fs);
std::string FormatDateTime(std::string_view format, TDateTime dt); // locale settings

// "%<width>.<decimals>n": a number with thousands separators, right-aligned in `width`.
std::string FormatNumber(double value, int width, int decimals, const TFormatSettings& fs);
