#include "platform/systime.h"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <optional>
#include <string>

#include "platform/procpath.h"

namespace {

// Sets TZ for one test and puts the old value back.
class ZoneGuard {
public:
    explicit ZoneGuard(const char* zone) {
        if (const char* old = std::getenv("TZ"))
            old_ = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ZoneGuard() {
        if (old_)
            setenv("TZ", old_->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    ZoneGuard(const ZoneGuard&) = delete;
    ZoneGuard& operator=(const ZoneGuard&) = delete;

private:
    std::optional<std::string> old_;
};

TEST(SysTime, StandardBiasIsUtcMinusLocalInMinutes) {
    {
        ZoneGuard zone("UTC0");
        EXPECT_EQ(StandardTimeZoneBias(), 0);
    }
    {
        ZoneGuard zone("CET-1CEST,M3.5.0,M10.5.0/3");
        EXPECT_EQ(StandardTimeZoneBias(), -60); // the standard bias, also in summer
    }
    {
        ZoneGuard zone("EST5EDT");
        EXPECT_EQ(StandardTimeZoneBias(), 300);
    }
    {
        ZoneGuard zone("IST-5:30");
        EXPECT_EQ(StandardTimeZoneBias(), -330);
    }
}

TEST(SysTime, LocalClockFollowsAChangedZone) {
    ZoneGuard zone("XYZ-3");
    const TClockFields local = LocalClock();
    const TClockFields utc = UtcClock();
    int difference = (local.Hour - utc.Hour + 24) % 24;
    if (local.Minute > utc.Minute) // an hour ended between the two reads
        difference = (difference + 1) % 24;
    EXPECT_EQ(difference, 3);
}

TEST(ProcPath, ProgramFileIsThisExecutable) {
    const std::string path = ProgramFilePath();
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(path.front(), '/');
    EXPECT_TRUE(std::filesystem::equivalent(path, "/proc/self/exe"));
}

} // namespace
