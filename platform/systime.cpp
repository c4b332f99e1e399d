#include "platform/systime.h"

#include <ctime>
#include <langinfo.h>

namespace {

TClockFields FromTm(const std::tm& tm, long nanoseconds) {
    TClockFields f;
    f.Year = tm.tm_year + 1900;
    f.Month = tm.tm_mon + 1;
    f.Day = tm.tm_mday;
    f.DayOfWeek = tm.tm_wday;
    f.Hour = tm.tm_hour;
    f.Minute = tm.tm_min;
    // A leap second (60) is shown as the last second of its minute.
    f.Second = tm.tm_sec > 59 ? 59 : tm.tm_sec;
    f.Millisecond = static_cast<int>(nanoseconds / 1000000);
    return f;
}

timespec RealTime() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return ts;
}

std::string LangInfo(nl_item item) {
    const char* text = nl_langinfo(item);
    return text ? std::string(text) : std::string();
}

} // namespace

TClockFields LocalClock() {
    const timespec ts = RealTime();
    tzset();
    std::tm tm{};
    localtime_r(&ts.tv_sec, &tm);
    return FromTm(tm, ts.tv_nsec);
}

TClockFields UtcClock() {
    const timespec ts = RealTime();
    std::tm tm{};
    gmtime_r(&ts.tv_sec, &tm);
    return FromTm(tm, ts.tv_nsec);
}

int StandardTimeZoneBias() {
    tzset();
    return static_cast<int>(timezone / 60);
}

TLocaleTexts CurrentLocaleTexts() {
    TLocaleTexts t;
    t.DateFormat = LangInfo(D_FMT);
    t.TimeFormat = LangInfo(T_FMT);
    t.DecimalPoint = LangInfo(RADIXCHAR);
    t.ThousandsSep = LangInfo(THOUSEP);
    t.AmText = LangInfo(AM_STR);
    t.PmText = LangInfo(PM_STR);
    for (int i = 0; i < 7; ++i) {
        t.ShortDayNames[i] = LangInfo(static_cast<nl_item>(ABDAY_1 + i));
        t.LongDayNames[i] = LangInfo(static_cast<nl_item>(DAY_1 + i));
    }
    for (int i = 0; i < 12; ++i) {
        t.ShortMonthNames[i] = LangInfo(static_cast<nl_item>(ABMON_1 + i));
        t.LongMonthNames[i] = LangInfo(static_cast<nl_item>(MON_1 + i));
    }
    return t;
}
