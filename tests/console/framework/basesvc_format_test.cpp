// The console window's texts of what the service reports, and its command line.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "console/framework/basesvc_format.h"

namespace {

// Sets TZ for one test and restores it.
class ZoneGuard {
public:
    explicit ZoneGuard(const char* zone) {
        if (const char* old = std::getenv("TZ"))
            old_ = old, hadOld_ = true;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ZoneGuard() {
        hadOld_ ? setenv("TZ", old_.c_str(), 1) : unsetenv("TZ");
        tzset();
    }

private:
    std::string old_;
    bool hadOld_ = false;
};

std::chrono::system_clock::time_point Utc(int year, int month, int day, int h, int m, int s) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = h;
    t.tm_min = m;
    t.tm_sec = s;
    return std::chrono::system_clock::from_time_t(timegm(&t));
}

SYSTEMTIME Local(int year, int month, int day, int h, int m, int s) {
    SYSTEMTIME st{};
    st.wYear = static_cast<uint16_t>(year);
    st.wMonth = static_cast<uint16_t>(month);
    st.wDay = static_cast<uint16_t>(day);
    st.wHour = static_cast<uint16_t>(h);
    st.wMinute = static_cast<uint16_t>(m);
    st.wSecond = static_cast<uint16_t>(s);
    return st;
}

} // namespace

TEST(ConsoleTexts, CountersDurationsAndRecordFields) {
    EXPECT_EQ(FormatCounter(1234567), "     1234567"); // C locale: no grouping, 12 wide
    EXPECT_EQ(FormatCounter(4294967295.0), "  4294967295");
    EXPECT_EQ(FormatGroupDuration(3723004), "1:02:03:004");
    EXPECT_EQ(FormatGroupDuration(0), "0:00:00:000");
    // A day or more keeps its whole days in the hours.
    EXPECT_EQ(FormatGroupDuration(25 * 3600000u), "25:00:00:000");
    EXPECT_EQ(FormatGroupDuration(4294967295u), "1193:02:47:295");
    EXPECT_EQ(VersionText(1, 12, 0), "1.12.0");
    const char full[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(RecordText(full, sizeof full), "abcd");
    EXPECT_EQ(RecordText("ab\0cd", 5), "ab");
}

TEST(ConsoleTexts, NextCheckSecondsEitherWayAndAcrossAClockChange) {
    ZoneGuard zone("Europe/Paris");
    // Winter (UTC+1): 12:00:40 local is 40 s after 11:00:00 UTC, and 11:59:20 40 s before.
    auto now = Utc(2026, 1, 15, 11, 0, 0);
    EXPECT_EQ(SecondsBetweenLocal(Local(2026, 1, 15, 12, 0, 40), now), 40);
    EXPECT_EQ(SecondsBetweenLocal(Local(2026, 1, 15, 11, 59, 20), now), 40);
    // Clocks go forward at 02:00 on 29 March: 03:00:10 summer time is 40 s after 01:59:30
    // winter time (00:59:30 UTC), not an hour and 40 s.
    EXPECT_EQ(SecondsBetweenLocal(Local(2026, 3, 29, 3, 0, 10), Utc(2026, 3, 29, 0, 59, 30)), 40);
}

TEST(ConsoleTexts, SwitchesNeedAPrefixAndTheLastOneWins) {
    auto parse = [](std::vector<std::string> args) { return ParseConsoleSwitches(args); };
    for (const char* config : {"/config", "-Config", "/CONFIG"})
        EXPECT_TRUE(parse({config}).OpenConfig) << config;
    for (const char* other : {"/CONFIGX", "CONFIG", "/", "-", "config"})
        EXPECT_FALSE(parse({other}).OpenConfig) << other;
    EXPECT_EQ(parse({"/TIME:120"}).TimeOverride, 120);
    EXPECT_EQ(parse({"-time:abc"}).TimeOverride, 60);
    EXPECT_EQ(parse({"/TIME:"}).TimeOverride, 60);
    EXPECT_EQ(parse({"/TIME:0"}).TimeOverride, 0);
    EXPECT_EQ(parse({"/TIME:-5"}).TimeOverride, -5);
    EXPECT_EQ(parse({"/TIME:30", "x", "/TIME:90"}).TimeOverride, 90);
    EXPECT_EQ(parse({"TIME:30"}).TimeOverride, 0);
}
