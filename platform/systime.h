// Wall clock, time zone and locale texts as the operating system gives them. The date-time
// arithmetic and formatting built on them live in common/datetime.h.
#pragma once

#include <array>
#include <string>

// A broken-down wall-clock time.
struct TClockFields {
    int Year = 0;
    int Month = 0;     // 1..12
    int Day = 0;       // 1..31
    int DayOfWeek = 0; // 0 = Sunday
    int Hour = 0;
    int Minute = 0;
    int Second = 0;
    int Millisecond = 0;
};

// The current local time (clock_gettime, then localtime_r after tzset, so a changed TZ is
// seen at once).
TClockFields LocalClock();
// The current UTC time.
TClockFields UtcClock();
// Standard time-zone bias in minutes (UTC = local + bias), from tzset()'s `timezone`.
int StandardTimeZoneBias();

// The date, time and number texts of the current locale (LC_TIME, LC_NUMERIC), read with
// nl_langinfo, which unlike localeconv() returns no shared static record.
struct TLocaleTexts {
    std::string DateFormat;                   // D_FMT, e.g. "%m/%d/%y"
    std::string TimeFormat;                   // T_FMT, e.g. "%H:%M:%S"
    std::string DecimalPoint;                 // RADIXCHAR
    std::string ThousandsSep;                 // THOUSEP, empty in the C locale
    std::string AmText;                       // AM_STR
    std::string PmText;                       // PM_STR
    std::array<std::string, 7> ShortDayNames; // Sunday first
    std::array<std::string, 7> LongDayNames;
    std::array<std::string, 12> ShortMonthNames; // January first
    std::array<std::string, 12> LongMonthNames;
};
TLocaleTexts CurrentLocaleTexts();
