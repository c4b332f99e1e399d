// When the service's jobs are due: the first job after the start, the next one after each
// job, in interval and in exact-time mode, and the main loop with an interval of 0.
#include <algorithm>
#include <atomic>
#include <thread>

#include "tests/service/framework/ftsrvbase_fixture.h"

namespace {

const TDateTime Day = EncodeDate(2024, 5, 3);

TDateTime At(int h, int n, int s = 0, int ms = 0) {
    return Day + EncodeTime(h, n, s, ms);
}

class FtScheduleTest : public FtServiceTest {
protected:
    FtScheduleTest() : service_(ProgramDirPath()) { service_.SetClock(&clock_); }

    void ExactTimes(const std::string& list) {
        service_.Cfg().ExactTimeMode = true;
        service_.Cfg().ExactTime.SetText(list);
    }
    // Runs a job's end at `t`: the next due time from there.
    TDateTime NextAfterJobAt(TDateTime t) {
        clock_.Set(t);
        service_.ScheduleNextAction();
        return service_.NextAction;
    }

    FakeClock clock_;
    TestFtService service_;
};

// Compares day values to the millisecond.
#define EXPECT_SAME_TIME(a, b) EXPECT_EQ(MilliSecondsBetween((a), (b)), 0)

} // namespace

TEST_F(FtScheduleTest, IntervalModeRunsFiveSecondsAfterStartThenEveryInterval) {
    service_.Cfg().TimeBetweenActions = 90;
    clock_.Set(At(12, 0));
    service_.ScheduleFirstAction();
    EXPECT_SAME_TIME(service_.NextAction, At(12, 0, 5));
    // The interval counts from the end of the job.
    EXPECT_SAME_TIME(NextAfterJobAt(At(12, 3, 7, 250)), At(12, 4, 37, 250));
}

TEST_F(FtScheduleTest, ExactTimesFromNoonRunFirstSoonThenAtEachListedTime) {
    ExactTimes("18:00 08:00");
    clock_.Set(At(12, 0));
    service_.ScheduleFirstAction();
    // 08:00 is nearer to noon than 18:00 and lies in the past: the 5 s mark wins.
    EXPECT_SAME_TIME(service_.NextAction, At(12, 0, 5));
    EXPECT_SAME_TIME(NextAfterJobAt(At(12, 0, 6)), At(18, 0));
    EXPECT_SAME_TIME(NextAfterJobAt(At(18, 0, 2)), Day + 1 + EncodeTime(8, 0, 0, 0));
}

TEST_F(FtScheduleTest, ExactTimesFromThreePmWaitForTheNearestLaterTime) {
    ExactTimes("08:00 18:00");
    clock_.Set(At(15, 0));
    service_.ScheduleFirstAction();
    EXPECT_SAME_TIME(service_.NextAction, At(18, 0));
}

TEST_F(FtScheduleTest, ListedTimeWithinFiveSecondsGivesWayToTheStartDelay) {
    ExactTimes("08:00 18:00");
    clock_.Set(At(17, 59, 56));
    service_.ScheduleFirstAction();
    EXPECT_SAME_TIME(service_.NextAction, At(18, 0, 1));
    clock_.Set(At(17, 59, 54));
    service_.ScheduleFirstAction();
    EXPECT_SAME_TIME(service_.NextAction, At(18, 0));
}

TEST_F(FtScheduleTest, JobEndingAtAListedTimeDoesNotRunAgainForIt) {
    ExactTimes("08:00 18:00");
    // 18:00:00.400 is 18:00:00 to the second: the next listed time is tomorrow's 08:00.
    EXPECT_SAME_TIME(NextAfterJobAt(At(18, 0, 0, 400)), Day + 1 + EncodeTime(8, 0, 0, 0));
    // 17:59:59.400 is still before 18:00.
    EXPECT_SAME_TIME(NextAfterJobAt(At(17, 59, 59, 400)), At(18, 0));
    // A listed time passed while the job ran is skipped.
    EXPECT_SAME_TIME(NextAfterJobAt(At(8, 30)), At(18, 0));
}

TEST_F(FtScheduleTest, ExactModeWithAnEmptyListFallsBackToTheInterval) {
    ExactTimes("");
    ASSERT_EQ(service_.Cfg().ExactTime.Count(), 0);
    service_.Cfg().TimeBetweenActions = 30;
    clock_.Set(At(23, 59, 58));
    service_.ScheduleFirstAction();
    EXPECT_SAME_TIME(service_.NextAction, Day + 1 + EncodeTime(0, 0, 3, 0));
    EXPECT_SAME_TIME(NextAfterJobAt(At(10, 0)), At(10, 0, 30));
}

TEST_F(FtScheduleTest, DueOnlyStrictlyAfterTheDueTime) {
    service_.Cfg().TimeBetweenActions = 0;
    clock_.Set(At(9, 0));
    service_.ScheduleNextAction();
    EXPECT_FALSE(service_.IsActionDue()); // equal is not due
    clock_.AdvanceMs(1);
    EXPECT_TRUE(service_.IsActionDue());
    clock_.Set(At(8, 59, 59, 999));
    EXPECT_FALSE(service_.IsActionDue());
}

TEST_F(FtScheduleTest, PublishedNextActionTimeReachesTheStatusRecord) {
    EXPECT_EQ(+service_.Record().NextActionTime.wYear, 0); // never published yet
    clock_.Set(At(15, 0));
    ExactTimes("18:30");
    service_.ScheduleFirstAction();
    EXPECT_EQ(+service_.Record().NextActionTime.wYear, 0); // not before it is published
    service_.PublishNextActionTime();
    SYSTEMTIME next = service_.Record().NextActionTime;
    EXPECT_EQ(next.wYear, 2024);
    EXPECT_EQ(next.wMonth, 5);
    EXPECT_EQ(next.wDay, 3);
    EXPECT_EQ(next.wHour, 18);
    EXPECT_EQ(next.wMinute, 30);
    EXPECT_EQ(next.wSecond, 0);
}

// With an interval of 0 the main loop runs one job after the other without its idle pause,
// as long as time moves between them. The loop's pause is 100 ms: between the end of one job
// and the start of the next, a loop that paused would spend at least that each time; one that
// goes straight on spends next to nothing, unless the machine happens to hold the thread.
TEST_F(FtScheduleTest, MainLoopWithIntervalZeroRunsJobsBackToBack) {
    using Clock = std::chrono::steady_clock;
    constexpr int Jobs = 20;
    service_.Cfg().TimeBetweenActions = 0;
    service_.Cfg().TrackDirectory[0] = DataDir();
    service_.Cfg().SaveToFile(IniPath());
    service_.OnBuildChain = [](const std::string&, std::vector<std::string>&) {};
    // Both hooks run on the service thread, which the test reads only after it has ended.
    std::vector<Clock::time_point> starts, ends;
    std::atomic<int> started{0};
    service_.OnPrepare = [&] {
        starts.push_back(Clock::now());
        ++started;
    };
    service_.OnFinish = [&] { ends.push_back(Clock::now()); };
    clock_.SetHook([this] { clock_.AdvanceMs(1); });
    RunInService(service_, [&] {
        std::thread driver([&] {
            // Past the 5 s start delay, once the loop has set the first due time.
            WaitFor([&] { return service_.Record().NextActionTime.wYear != 0; }, 20000);
            clock_.AdvanceMs(6000);
            WaitFor([&] { return started >= Jobs; }, 20000);
            service_.Controller(SERVICE_CONTROL_STOP);
        });
        service_.ServiceExecute(&service_);
        driver.join();
    });
    clock_.SetHook(nullptr);
    ASSERT_GE(starts.size(), static_cast<size_t>(Jobs));
    ASSERT_GE(ends.size(), starts.size() - 1);
    // Most gaps are far below the pause; with the pause every one of them would reach it.
    std::vector<Clock::duration> gaps;
    for (size_t i = 1; i < starts.size(); ++i)
        gaps.push_back(starts[i] - ends[i - 1]);
    std::sort(gaps.begin(), gaps.end());
    EXPECT_LT(gaps[gaps.size() / 2], std::chrono::milliseconds(100))
        << "median time between two jobs: "
        << std::chrono::duration_cast<std::chrono::microseconds>(gaps[gaps.size() / 2]).count()
        << " us";
}

// With a real interval the loop waits; a stop ends it within its idle pause.
TEST_F(FtScheduleTest, MainLoopWaitsForTheDueTimeAndEndsOnStop) {
    service_.Cfg().TimeBetweenActions = 3600;
    service_.Cfg().TrackDirectory[0] = DataDir();
    service_.Cfg().SaveToFile(IniPath());
    service_.OnBuildChain = [](const std::string&, std::vector<std::string>&) {};
    clock_.Set(At(10, 0));
    std::chrono::steady_clock::duration stopTook{};
    RunInService(service_, [&] {
        std::thread driver([&] {
            // The loop has set its first due time, 10:00:05, and idles for a while.
            EXPECT_TRUE(
                WaitFor([&] { return service_.Record().NextActionTime.wYear != 0; }, 20000));
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
            EXPECT_TRUE(service_.Events().empty()); // not due yet
            clock_.Set(At(10, 0, 5, 1));            // due
            EXPECT_TRUE(WaitFor([&] { return service_.Events().size() >= 3; }, 20000));
            std::this_thread::sleep_for(std::chrono::milliseconds(250)); // no second job
            auto before = std::chrono::steady_clock::now();
            service_.Controller(SERVICE_CONTROL_STOP);
            WaitFor([&] { return service_.ServiceThread()->Terminated(); });
            stopTook = std::chrono::steady_clock::now() - before;
        });
        service_.ServiceExecute(&service_);
        driver.join();
    });
    EXPECT_EQ(service_.Events(),
              (std::vector<std::string>{"chain " + DataDir(), "prepare 0", "finish 0"}));
    EXPECT_LT(stopTook, std::chrono::milliseconds(400));
    // The next job was published for an hour after the first one.
    SYSTEMTIME next = service_.Record().NextActionTime;
    EXPECT_EQ(next.wHour, 11);
    EXPECT_EQ(next.wMinute, 0);
    EXPECT_EQ(next.wSecond, 5);
}
