#include "common/timelist.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "platform/errors.h"

namespace {

constexpr int32_t HM(int h, int m, int s = 0) {
    return h * 3600 + m * 60 + s;
}

// A moment on day 45000 at the given time of day.
TDateTime At(int h, int m, int s) {
    return 45000.0 + HM(h, m, s) / 86400.0;
}

// The message of the EConvertError that SetText raises, or "" when it succeeds.
std::string ParseError(TTimeList& list, const std::string& text) {
    try {
        list.SetText(text);
    } catch (const EConvertError& e) {
        return e.what();
    }
    return "";
}

} // namespace

TEST(TimeList, ParsesBlanksSortsAndPrints) {
    TTimeList list("  8:05   18:00 ");
    EXPECT_EQ(list.Items(), (std::vector<int32_t>{HM(8, 5), HM(18, 0)}));
    EXPECT_EQ(list.GetText(), "08:05 18:00");

    list.SetText("18:00 08:00 08:00");
    EXPECT_EQ(list.GetText(), "08:00 08:00 18:00"); // duplicates stay
    EXPECT_EQ(list.Count(), 3);
}

TEST(TimeList, SecondsAreKeptButNotPrinted) {
    TTimeList list("10:20:30");
    EXPECT_EQ(list.Items(), (std::vector<int32_t>{HM(10, 20, 30)}));
    EXPECT_EQ(list.GetText(), "10:20");
    list.SetText("10:20: 1:2:3:junk +07:-0 007:08");
    EXPECT_EQ(list.Items(), (std::vector<int32_t>{HM(1, 2, 3), HM(7, 0), HM(7, 8), HM(10, 20)}));
}

TEST(TimeList, EmptyOrBlankTextGivesEmptyList) {
    TTimeList list("");
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(list.GetText(), "");
    list.SetText(" \t \r\n ");
    EXPECT_EQ(list.Count(), 0);
}

TEST(TimeList, BadTokensAreNamedInTheMessage) {
    TTimeList list("");
    const char* bad[] = {"10",    "10:",   ":30",         "24:00", "12:60", "12:00:60",
                         "-1:00", "7h00",  "0x1:00",      "1 2",   "a:b",   "99999999999:00",
                         "12:5x", "12:-1", "08:00\t09:00"};
    for (const char* text : bad) {
        const std::string token = std::string(text) == "1 2" ? "1" : text;
        EXPECT_EQ(ParseError(list, text), "Wrong time value \"" + token + "\"") << text;
    }
    EXPECT_THROW(TTimeList("25:00"), EConvertError);
}

TEST(TimeList, FailedParseKeepsEarlierTokensUnsorted) {
    TTimeList list("06:00");
    EXPECT_NE(ParseError(list, "18:00 08:00 bad 09:00"), "");
    EXPECT_EQ(list.Items(), (std::vector<int32_t>{HM(18, 0), HM(8, 0)}));
    // NextTime walks the list in its order: the first later entry, not the earliest.
    EXPECT_DOUBLE_EQ(list.NextTime(At(7, 0, 0)), HM(18, 0) / 86400.0);

    EXPECT_NE(ParseError(list, "bad 08:00"), "");
    EXPECT_EQ(list.Count(), 0);
}

TEST(TimeList, OtherSeparators) {
    TTimeList list("");
    list.ParseTimes("9.30 08.15.10", '.');
    EXPECT_EQ(list.Items(), (std::vector<int32_t>{HM(9, 30), HM(8, 15, 10)})); // not sorted
    EXPECT_EQ(list.FormatTimes('.'), "09.30 08.15");
    EXPECT_EQ(list.FormatTimes('h'), "09h30 08h15");
    EXPECT_THROW(list.ParseTimes("09:30", '.'), EConvertError);
    // In the C locale the local separator is ":".
    list.SetLocalText("18:00 08:00");
    EXPECT_EQ(list.GetLocalText(), "08:00 18:00");
}

TEST(TimeList, NearestTimePrefersTheEarlierEntryOnTies) {
    TTimeList list("08:00 12:00");
    EXPECT_DOUBLE_EQ(list.NearestTime(At(10, 0, 0)), HM(8, 0) / 86400.0);
    EXPECT_DOUBLE_EQ(list.NearestTime(At(10, 0, 1)), HM(12, 0) / 86400.0);
    EXPECT_DOUBLE_EQ(list.NearestTime(At(0, 0, 0)), HM(8, 0) / 86400.0);

    // No wrap around midnight.
    list.SetText("00:05 18:00");
    EXPECT_DOUBLE_EQ(list.NearestTime(At(23, 59, 0)), HM(18, 0) / 86400.0);

    list.SetText("");
    EXPECT_DOUBLE_EQ(list.NearestTime(At(10, 0, 0)), -1.0 / 86400.0);
}

TEST(TimeList, NextTimeIsStrictlyLater) {
    TTimeList list("12:00 18:00");
    EXPECT_DOUBLE_EQ(list.NextTime(At(12, 0, 0)), HM(18, 0) / 86400.0);
    EXPECT_DOUBLE_EQ(list.NextTime(At(11, 59, 59)), HM(12, 0) / 86400.0);
    EXPECT_DOUBLE_EQ(list.NextTime(At(18, 0, 0)), -1.0);
    list.SetText("");
    EXPECT_DOUBLE_EQ(list.NextTime(At(1, 0, 0)), -1.0);
}

TEST(TimeList, MomentsRoundToTheNearestSecondHalfToEven) {
    int64_t s = 0;
    const struct {
        double secondsOfDay;
        int64_t expected;
    } cases[] = {{1.5, 2}, {2.5, 2}, {3.4999, 3}, {3.5001, 4}, {36000.5, 36000}, {0.0, 0}};
    for (const auto& c : cases) {
        ASSERT_TRUE(TimeOfDaySeconds(c.secondsOfDay / 86400.0, s));
        EXPECT_EQ(s, c.expected) << c.secondsOfDay;
    }
    // A moment half a second before 12:00 counts as 12:00, which is not later than 12:00.
    TTimeList list("12:00");
    EXPECT_DOUBLE_EQ(list.NextTime(45000.0 + (HM(12, 0) - 0.4) / 86400.0), -1.0);
    EXPECT_DOUBLE_EQ(list.NextTime(45000.0 + (HM(12, 0) - 0.6) / 86400.0), HM(12, 0) / 86400.0);

    EXPECT_FALSE(TimeOfDaySeconds(std::numeric_limits<double>::quiet_NaN(), s));
    EXPECT_DOUBLE_EQ(list.NextTime(std::numeric_limits<double>::infinity()), -1.0);
    EXPECT_DOUBLE_EQ(list.NearestTime(std::numeric_limits<double>::quiet_NaN()), -1.0 / 86400);
}
