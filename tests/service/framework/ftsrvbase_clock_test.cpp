// The service under a local clock that jumps: set back at the end of daylight saving time or
// by a correction, and moved by weeks while a job runs.
#include <thread>

#include "tests/service/framework/ftsrvbase_fixture.h"

namespace {

const TDateTime Day = EncodeDate(2024, 10, 27);

TDateTime At(int h, int n, int s = 0, int ms = 0) {
    return Day + EncodeTime(h, n, s, ms);
}

#define EXPECT_SAME_TIME(a, b) EXPECT_EQ(MilliSecondsBetween((a), (b)), 0)

class FtClockTest : public FtServiceTest {
protected:
    FtClockTest() : service_(ProgramDirPath()) { service_.SetClock(&clock_); }

    void ExactTimes(const std::string& list) {
        service_.Cfg().ExactTimeMode = true;
        service_.Cfg().ExactTime.SetText(list);
    }
    // One pass of the main loop at `t`: the clock read for a set-back.
    void LoopPassAt(TDateTime t) {
        clock_.Set(t);
        service_.FollowClockSetBack();
    }

    FakeClock clock_;
    TestFtService service_;
};

} // namespace

// 03:00 summer time becomes 02:00 again: the interval keeps its length in real time instead
// of growing by the repeated hour.
TEST_F(FtClockTest, IntervalKeepsItsLengthWhenTheClockGoesBackAnHour) {
    service_.Cfg().TimeBetweenActions = 60;
    clock_.Set(At(2, 59, 30));
    service_.ScheduleNextAction();
    LoopPassAt(At(2, 59, 59, 500));
    EXPECT_SAME_TIME(service_.NextAction, At(3, 0, 30));
    LoopPassAt(At(2, 0, 0, 100));
    EXPECT_SAME_TIME(service_.NextAction, At(2, 0, 30, 600));
    EXPECT_FALSE(service_.IsActionDue());
    clock_.Set(At(2, 0, 30, 601));
    EXPECT_TRUE(service_.IsActionDue());
    // The status record shows the moved due time.
    EXPECT_EQ(+service_.Record().NextActionTime.wHour, 2);
    EXPECT_EQ(+service_.Record().NextActionTime.wMinute, 0);
}

TEST_F(FtClockTest, StartDelayFollowsAClockSetBackToo) {
    ExactTimes("08:00 18:00"); // 12:00 is nearest to 08:00: the start delay applies
    clock_.Set(At(12, 0));
    service_.ScheduleFirstAction();
    LoopPassAt(At(12, 0, 2));
    LoopPassAt(At(11, 0, 2));
    EXPECT_SAME_TIME(service_.NextAction, At(11, 0, 5));
}

// Jitter of the clock (less than a second back) changes nothing.
TEST_F(FtClockTest, SmallStepBackIsIgnored) {
    service_.Cfg().TimeBetweenActions = 60;
    clock_.Set(At(10, 0));
    service_.ScheduleNextAction();
    LoopPassAt(At(9, 59, 59, 200));
    EXPECT_SAME_TIME(service_.NextAction, At(10, 1));
    // Moving forward never changes the due time either.
    LoopPassAt(At(12, 0));
    EXPECT_SAME_TIME(service_.NextAction, At(10, 1));
}

// In exact-time mode a listed time stays where it is when the clock repeats an hour: the
// jobs of that hour have run, and none runs twice.
TEST_F(FtClockTest, ListedTimeStaysWhenTheClockRepeatsAnHour) {
    ExactTimes("02:30 18:00");
    clock_.Set(At(2, 30, 1)); // the job of 02:30 has just ended
    service_.ScheduleNextAction();
    EXPECT_SAME_TIME(service_.NextAction, At(18, 0));
    LoopPassAt(At(2, 59, 59));
    LoopPassAt(At(2, 0, 0));
    EXPECT_SAME_TIME(service_.NextAction, At(18, 0));
}

// A clock that was days ahead and gets corrected would otherwise keep the service idle for
// those days; the due time becomes the next listed time of the corrected day.
TEST_F(FtClockTest, ListedTimeDaysAheadIsRescheduledAfterACorrection) {
    ExactTimes("08:00 18:00");
    clock_.Set(At(19, 0));
    service_.ScheduleNextAction();
    EXPECT_SAME_TIME(service_.NextAction, Day + 1 + EncodeTime(8, 0, 0, 0));
    LoopPassAt(Day - 2 + EncodeTime(12, 0, 0, 0));
    EXPECT_SAME_TIME(service_.NextAction, Day - 2 + EncodeTime(18, 0, 0, 0));
    LoopPassAt(Day - 2 + EncodeTime(20, 0, 0, 0)); // forward again: no change
    EXPECT_SAME_TIME(service_.NextAction, Day - 2 + EncodeTime(18, 0, 0, 0));
}

// The main loop follows a set-back: a job is due an interval after the last one in real
// time, not an hour later.
TEST_F(FtClockTest, MainLoopRunsTheNextJobAfterAnIntervalDespiteTheSetBack) {
    service_.Cfg().TimeBetweenActions = 60;
    service_.Cfg().TrackDirectory[0] = DataDir();
    service_.Cfg().SaveToFile(IniPath());
    service_.OnBuildChain = [](const std::string&, std::vector<std::string>&) {};
    clock_.Set(At(2, 58, 0));
    auto jobs = [&] {
        int n = 0;
        for (const auto& e : service_.Events())
            n += e == "prepare 0";
        return n;
    };
    auto nextMinute = [&] { return service_.Record().NextActionTime.wMinute; };
    bool secondJob = false;
    RunInService(service_, [&] {
        std::thread driver([&] {
            // The first job, 5 s after the start; the next one due at 02:59:05.
            ASSERT_TRUE(WaitFor([&] { return service_.Record().NextActionTime.wYear != 0; }));
            clock_.Set(At(2, 58, 5, 1));
            ASSERT_TRUE(WaitFor([&] { return jobs() == 1 && nextMinute() == 59; }));
            // Back an hour: due at 01:59:05.
            clock_.Set(At(1, 58, 5, 1));
            ASSERT_TRUE(WaitFor([&] { return service_.Record().NextActionTime.wHour == 1; }));
            clock_.Set(At(1, 59, 5, 2));
            secondJob = WaitFor([&] { return jobs() == 2; });
            service_.Controller(SERVICE_CONTROL_STOP);
        });
        service_.ServiceExecute(&service_);
        driver.join();
    });
    EXPECT_TRUE(secondJob);
}

// A job during which the clock is corrected by months: the elapsed time is capped, not
// wrapped round to a negative or small count.
TEST_F(FtClockTest, ElapsedTimeOfAJobAcrossAHugeClockJumpIsCapped) {
    service_.Cfg().TrackDirectory[0] = DataDir();
    WriteTextFile(DataDir() + "/f.txt", "x");
    service_.OnTransfer = [&](const std::string&, const std::string&, bool&) {
        clock_.Set(clock_.Now() + 60);
        return true;
    };
    service_.Cfg().SaveToFile(IniPath());
    TServiceStateRecord record{};
    size_t logStart = 0;
    RunInService(service_, [&] {
        service_.StatusNames = {"t0.dst"};
        logStart = LogMessages().size();
        service_.DoWork();
        record = service_.Record();
    });
    EXPECT_EQ(+record.FilesOk, 1u);
    EXPECT_EQ(+record.ElapsedMs, 2147483647u);
    std::vector<std::string> log = LogMessages();
    ASSERT_GT(log.size(), logStart);
    // 2^31 - 1 ms is 24 days 20:31:23.647; the text shows the time of day part.
    EXPECT_EQ(log[logStart], "processed 1 files OK, 0 files bad, elapsed 20:31:23:647");
}
