#include "common/datetime.h"

#include <algorithm>
#include <cmath>

#include "common/langtext.h"
#include "platform/errors.h"
#include "platform/systime.h"

namespace {

constexpr int64_t MSecsPerDayInt = 86400000;
// Day 0 of a date-time value (1899-12-30) counted from 1970-01-01.
constexpr int64_t UnixDayOfDateZero = -25569;
// 0001-01-01 and 9999-12-31 as day counts: the range a value is decoded in.
constexpr int64_t MinDay = -693593;
constexpr int64_t MaxDay = 2958465;

// Days since 1970-01-01 of a proleptic Gregorian date.
int64_t DaysFromCivil(int64_t y, int m, int d) {
    y -= m <= 2 ? 1 : 0;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int& year, int& month, int& day) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    year = static_cast<int>(yoe + era * 400 + (month <= 2 ? 1 : 0));
}

// A value as its day count (negative before 1899-12-30) and its time of day in
// milliseconds, after rounding the whole value to milliseconds. Values outside the years
// 1 to 9999 (and NaN) are brought to the nearest end of that range.
struct DayAndTime {
    int64_t Day;
    int64_t Ms;
};

DayAndTime Split(TDateTime dt) {
    constexpr int64_t MinTotal = MinDay * MSecsPerDayInt - (MSecsPerDayInt - 1);
    constexpr int64_t MaxTotal = MaxDay * MSecsPerDayInt + (MSecsPerDayInt - 1);
    int64_t total;
    if (std::isnan(dt))
        total = 0;
    else if (dt > static_cast<double>(MaxDay + 1))
        total = MaxTotal;
    else if (dt < static_cast<double>(MinDay - 1))
        total = MinTotal;
    else
        total = std::clamp<int64_t>(std::llround(dt * MSecsPerDay), MinTotal, MaxTotal);
    const int64_t ms = total % MSecsPerDayInt;
    return DayAndTime{total / MSecsPerDayInt, ms < 0 ? -ms : ms};
}

// Milliseconds on one straight time line (the negative-value rule undone).
int64_t LinearMs(TDateTime dt) {
    const DayAndTime s = Split(dt);
    return s.Day * MSecsPerDayInt + s.Ms;
}

SYSTEMTIME FromClock(const TClockFields& f) {
    SYSTEMTIME st{};
    st.wYear = static_cast<uint16_t>(f.Year);
    st.wMonth = static_cast<uint16_t>(f.Month);
    st.wDayOfWeek = static_cast<uint16_t>(f.DayOfWeek);
    st.wDay = static_cast<uint16_t>(f.Day);
    st.wHour = static_cast<uint16_t>(f.Hour);
    st.wMinute = static_cast<uint16_t>(f.Minute);
    st.wSecond = static_cast<uint16_t>(f.Second);
    st.wMilliseconds = static_cast<uint16_t>(f.Millisecond);
    return st;
}

} // namespace

bool IsLeapYear(int year) {
    return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

int DaysInMonth(int year, int month) {
    static constexpr int Days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12)
        return 0;
    return month == 2 && IsLeapYear(year) ? 29 : Days[month - 1];
}

bool TryEncodeDate(int year, int month, int day, TDateTime& result) {
    if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 ||
        day > DaysInMonth(year, month))
        return false;
    result = static_cast<double>(DaysFromCivil(year, month, day) - UnixDayOfDateZero);
    return true;
}

bool TryEncodeTime(int hour, int minute, int second, int msec, TDateTime& result) {
    if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 ||
        msec < 0 || msec > 999)
        return false;
    const int64_t ms = ((hour * 60LL + minute) * 60 + second) * 1000 + msec;
    result = static_cast<double>(ms) / MSecsPerDay;
    return true;
}

TDateTime EncodeDate(int year, int month, int day) {
    TDateTime result;
    if (!TryEncodeDate(year, month, day, result))
        throw EConvertError(langtext::InvalidDateEncode);
    return result;
}

TDateTime EncodeTime(int hour, int minute, int second, int msec) {
    TDateTime result;
    if (!TryEncodeTime(hour, minute, second, msec, result))
        throw EConvertError(langtext::InvalidTimeEncode);
    return result;
}

TDateTime ComposeDateTime(TDateTime date, TDateTime time) {
    return date < 0 ? date - time : date + time;
}

void DecodeDate(TDateTime dt, int& year, int& month, int& day) {
    CivilFromDays(Split(dt).Day + UnixDayOfDateZero, year, month, day);
}

void DecodeTime(TDateTime dt, int& hour, int& minute, int& second, int& msec) {
    int64_t ms = Split(dt).Ms;
    msec = static_cast<int>(ms % 1000);
    ms /= 1000;
    second = static_cast<int>(ms % 60);
    ms /= 60;
    minute = static_cast<int>(ms % 60);
    hour = static_cast<int>(ms / 60);
}

int DayOfWeekOf(TDateTime dt) {
    // Day 0 was a Saturday.
    const int64_t r = (Split(dt).Day + 6) % 7;
    return static_cast<int>(r < 0 ? r + 7 : r);
}

TDateTime DateOf(TDateTime dt) {
    return std::trunc(dt);
}

TDateTime TimeOf(TDateTime dt) {
    return std::fabs(dt - std::trunc(dt));
}

int64_t MilliSecondsBetween(TDateTime a, TDateTime b) {
    const int64_t d = LinearMs(a) - LinearMs(b);
    return d < 0 ? -d : d;
}

int64_t SecondsBetween(TDateTime a, TDateTime b) {
    return MilliSecondsBetween(a, b) / 1000;
}

TDateTime SystemTimeToDateTime(const SYSTEMTIME& st) {
    return ComposeDateTime(EncodeDate(st.wYear, st.wMonth, st.wDay),
                           EncodeTime(st.wHour, st.wMinute, st.wSecond, st.wMilliseconds));
}

SYSTEMTIME DateTimeToSystemTime(TDateTime dt) {
    int year, month, day, hour, minute, second, msec;
    DecodeDate(dt, year, month, day);
    DecodeTime(dt, hour, minute, second, msec);
    TClockFields f{year, month, day, DayOfWeekOf(dt), hour, minute, second, msec};
    return FromClock(f);
}

SYSTEMTIME GetLocalTimeST() {
    return FromClock(LocalClock());
}

SYSTEMTIME GetSystemTimeST() {
    return FromClock(UtcClock());
}

TDateTime Now() {
    return SystemTimeToDateTime(GetLocalTimeST());
}

TDateTime NowUtc() {
    return SystemTimeToDateTime(GetSystemTimeST());
}

bool FileTimeToSystemTime(const FILETIME& ft, SYSTEMTIME& st) {
    const uint64_t ticks = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    if (ticks >> 63)
        return false;
    const int64_t totalMs = static_cast<int64_t>(ticks / 10000);
    const int64_t days = totalMs / MSecsPerDayInt; // since 1601-01-01, a Monday
    int64_t ms = totalMs % MSecsPerDayInt;
    TClockFields f;
    CivilFromDays(days + DaysFromCivil(1601, 1, 1), f.Year, f.Month, f.Day);
    f.DayOfWeek = static_cast<int>((days + 1) % 7);
    f.Millisecond = static_cast<int>(ms % 1000);
    ms /= 1000;
    f.Second = static_cast<int>(ms % 60);
    ms /= 60;
    f.Minute = static_cast<int>(ms % 60);
    f.Hour = static_cast<int>(ms / 60);
    st = FromClock(f);
    return true;
}

int TimeZoneBias() {
    return StandardTimeZoneBias();
}
