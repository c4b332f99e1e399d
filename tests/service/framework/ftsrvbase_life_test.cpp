// Start and stop of the service: the log lines of each step, a failing step, the two pipes
// while the service runs (status record, configuration exchange), and a stop that the
// service processes between two files of a running job.
#include <atomic>
#include <cerrno>
#include <cstring>

#include "common/langtext.h"
#include "platform/namedpipe.h"
#include "tests/service/framework/ftsrvbase_fixture.h"
#include "tests/support/errorcode.h"

namespace {

const std::string Canceled = langtext::ServiceTaskCanceled;

class FtLifeTest : public FtServiceTest {
protected:
    FtLifeTest() : service_(ProgramDirPath()) { service_.SetClock(&clock_); }

    void WriteIni(bool detailed) {
        WriteTextFile(IniPath(), std::string("[General]\r\nLogDetailed=") + (detailed ? "1" : "0") +
                                     "\r\n[Directory0]\r\nTrackDirectory=/srv/a\r\n"
                                     "[Directory7]\r\nTrackDirectory=/srv/b\r\n");
    }
    bool Start() {
        bool started = true;
        service_.ServiceStart(&service_, started);
        return started;
    }
    void Stop() {
        bool stopped = true;
        service_.ServiceStop(&service_, stopped);
        EXPECT_TRUE(stopped);
    }

    // One request on a pipe of the service. The pipe servers create their pipes on their own
    // threads: this retries, for up to 20 s, while the pipe is not there yet.
    std::vector<uint8_t> Call(const std::string& pipe, const std::string& command,
                              const std::string& payload = {}) {
        std::vector<uint8_t> request = BuildPipeRequest(command, payload);
        std::vector<uint8_t> answer(PipeBufferSize);
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        for (;;) {
            try {
                size_t n = CallNamedPipe("\\\\.\\pipe\\" + pipe, request.data(), request.size(),
                                         answer.data(), answer.size(), 5000);
                answer.resize(n);
                return answer;
            } catch (const std::exception&) {
                if (std::chrono::steady_clock::now() > end)
                    throw;
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
    }
    TServiceStateRecord Stats() {
        std::vector<uint8_t> answer = Call("FtTestInfo", CmdReqGetStats);
        TServiceStateRecord record{};
        EXPECT_EQ(answer.size(), StatsAnswerLength);
        if (answer.size() == StatsAnswerLength)
            std::memcpy(&record, answer.data() + StatsOffsetState, sizeof record);
        return record;
    }
    // No server serves the pipe: opening it fails as for a name that was never created.
    bool PipeGone(const std::string& pipe) {
        std::vector<uint8_t> request = BuildPipeRequest(CmdReqGetStats);
        uint8_t answer[PipeBufferSize];
        return ErrorCodeOf([&] {
                   CallNamedPipe("\\\\.\\pipe\\" + pipe, request.data(), request.size(), answer,
                                 sizeof answer, 5000);
               }) == ENOENT;
    }
    // The pipe answers a request (once its server has created it).
    bool PipeServes(const std::string& pipe) {
        try {
            Call(pipe, CmdReqGetStats);
            return true;
        } catch (const std::exception&) {
            return false;
        }
    }

    FakeClock clock_;
    TestFtService service_;
};

} // namespace

TEST_F(FtLifeTest, PlainStartLogsOnlyTheStartAndTheTrackedDirectories) {
    WriteIni(false);
    ASSERT_TRUE(Start());
    Stop();
    EXPECT_EQ(LogMessages(),
              (std::vector<std::string>{"FtTestSvc service started", "Monitor directory /srv/a",
                                        "Monitor directory /srv/b", "FtTestSvc service stopped"}));
}

TEST_F(FtLifeTest, DetailedStartAndStopLogEveryStep) {
    WriteIni(true);
    // The first start reads LogDetailed only once the file is loaded.
    ASSERT_TRUE(Start());
    Stop();
    std::vector<std::string> once{"FtTestSvc service started",
                                  "Configuration loaded from \"ftsvc.ini\"",
                                  "Monitor directory /srv/a",
                                  "Monitor directory /srv/b",
                                  "Pipe server started \"FtTestInfo\"",
                                  "Pipe server started \"FtTestControl\"",
                                  "Stopping service...",
                                  "Pipe server stopped \"FtTestControl\"",
                                  "Pipe server stopped \"FtTestInfo\"",
                                  "FtTestSvc service stopped"};
    EXPECT_EQ(LogMessages(), once);
    // A second start of the same object already knows the setting.
    std::remove(LogPath().c_str());
    ASSERT_TRUE(Start());
    service_.ServiceShutdown(&service_);
    std::vector<std::string> again = once;
    again.insert(again.begin() + 1, "Starting service...");
    again.back() = "FtTestSvc stopped at system shutdown";
    EXPECT_EQ(LogMessages(), again);
}

TEST_F(FtLifeTest, FailingStepIsLoggedTheOthersStillRunAndTheStartFails) {
    WriteIni(false);
    service_.Config = nullptr; // the configuration step cannot load anything
    EXPECT_FALSE(Start());
    EXPECT_EQ(LogMessages(), (std::vector<std::string>{"FtTestSvc service started",
                                                       langtext::NoServiceConfiguration}));
    // The pipe steps after it ran, and so did the end of the start step.
    TServiceStateRecord r = Stats();
    EXPECT_EQ(+r.Busy, 0);
    EXPECT_STREQ(r.LastErrorText, langtext::NoServiceConfiguration);
    // The start step begins with clearing the last texts.
    EXPECT_STREQ(r.LastEventText, "");
    EXPECT_TRUE(PipeServes("FtTestControl"));
}

TEST_F(FtLifeTest, StatusRecordThroughTheInformationPipe) {
    WriteIni(false);
    ASSERT_TRUE(Start());
    TServiceStateRecord r = Stats();
    EXPECT_EQ(+r.Size, 511);
    EXPECT_EQ(+r.Busy, 0);
    // The version block of this test program.
    EXPECT_EQ(+r.VersionMajor, 2);
    EXPECT_EQ(+r.VersionMinor, 7);
    EXPECT_EQ(+r.VersionRelease, 5);
    EXPECT_STREQ(r.LastEventText, "Monitor directory /srv/b");
    EXPECT_EQ(+r.LastEventTime.wYear, 2024);
    EXPECT_EQ(+r.LastEventTime.wHour, 12);
    EXPECT_EQ(+r.LastErrorTime.wYear, 0);
    EXPECT_EQ(+r.NextActionTime.wYear, 0);

    clock_.AdvanceMs(61000);
    service_.Log(3, std::string(200, 'e'));
    service_.ReportProgress(7, 2, 1234);
    service_.SetLastFile("/x/shop/caisse/z.txt", true, 2);
    service_.ScheduleFirstAction();
    service_.PublishNextActionTime();
    r = Stats();
    EXPECT_EQ(std::string(r.LastErrorText), std::string(127, 'e'));
    EXPECT_EQ(+r.LastErrorTime.wMinute, 1);
    EXPECT_EQ(+r.LastErrorTime.wSecond, 1);
    EXPECT_EQ(+r.FilesOk, 7u);
    EXPECT_EQ(+r.FilesBad, 2u);
    EXPECT_EQ(+r.ElapsedMs, 1234u);
    EXPECT_EQ(+r.ReportTime.wMinute, 1);
    EXPECT_STREQ(r.LastOkFile, "shop/caisse/z.txt");
    EXPECT_EQ(+r.NextActionTime.wMinute, 1);
    EXPECT_EQ(+r.NextActionTime.wSecond, 6);
    Stop();
    EXPECT_TRUE(PipeGone("FtTestInfo"));
    EXPECT_TRUE(PipeGone("FtTestControl"));
}

TEST_F(FtLifeTest, StatusRequestDuringTheStartShowsBusyAndNoNextAction) {
    WriteIni(true);
    std::atomic<bool> asked{false};
    TServiceStateRecord during{};
    // The clock is read by the log line that announces the information pipe: the start is
    // not finished then.
    clock_.SetHook([&] {
        if (service_.InfoPipe && !service_.ControlPipe && !asked.exchange(true))
            during = Stats();
    });
    ASSERT_TRUE(Start());
    clock_.SetHook(nullptr);
    ASSERT_TRUE(asked);
    EXPECT_EQ(+during.Size, 511);
    EXPECT_EQ(+during.Busy, 1);
    EXPECT_EQ(+during.NextActionTime.wYear, 0);
    EXPECT_EQ(Stats().Busy, 0);
    Stop();
}

TEST_F(FtLifeTest, ConfigurationExchangeOnTheControlPipeIsLogged) {
    WriteIni(false);
    ASSERT_TRUE(Start());
    std::vector<uint8_t> answer = Call("FtTestControl", CmdReqGetConfig);
    TPipeMessageHeader header{};
    ASSERT_TRUE(ReadPipeHeader(answer.data(), answer.size(), header));
    EXPECT_EQ(PipeCommandText(header), CmdAnsGetConfig);
    EXPECT_EQ(std::string(answer.begin() + PipeHeaderSize, answer.end()), ReadTextFile(IniPath()));

    const std::string replacement = "[General]\r\nTimeBetweenActions=5\r\n";
    answer = Call("FtTestControl", CmdReqSetConfig, replacement);
    ASSERT_TRUE(ReadPipeHeader(answer.data(), answer.size(), header));
    EXPECT_EQ(PipeCommandText(header), CmdAnsSetConfig);
    EXPECT_EQ(ReadTextFile(IniPath()), replacement);
    // The running service keeps the configuration it started with.
    EXPECT_EQ(service_.Cfg().TimeBetweenActions, 60);
    Stop();
    std::vector<std::string> log = LogMessages();
    ASSERT_EQ(log.size(), 6u);
    EXPECT_EQ(log[3], "Service configuration file retrieved by client");
    EXPECT_EQ(log[4], "Service configuration file updated by client");
}

TEST_F(FtLifeTest, StopWithoutAJobReleasesTheListsAtOnce) {
    WriteIni(false);
    ASSERT_TRUE(Start());
    EXPECT_EQ(service_.StatusNames, (std::vector<std::string>{"dirlist.dst"}));
    ASSERT_NE(service_.Version, nullptr);
    Stop();
    EXPECT_TRUE(service_.StatusNames.empty());
    EXPECT_EQ(service_.Version, nullptr);
    EXPECT_EQ(service_.InfoPipe, nullptr);
    EXPECT_EQ(service_.ControlPipe, nullptr);
}

// The transfer lets the framework process requests between two files; a stop processed
// there runs the stop notification inside the job. The job ends at its next check points
// with everything it uses still in place, and the lists go only after the job.
TEST_F(FtLifeTest, StopBetweenTwoFilesEndsTheJobAndReleasesAfterIt) {
    service_.Cfg().TrackDirectory[0] = MakeDir("t0");
    service_.Cfg().TrackDirectory[1] = MakeDir("t1");
    std::string a = MakeDir("t0/a"), b = MakeDir("t0/b");
    for (const char* n : {"1.txt", "2.txt", "3.txt", "4.txt", "5.txt"}) {
        WriteTextFile(a + "/" + n, n);
        WriteTextFile(b + "/" + n, n);
        WriteTextFile(DataDir() + "/t1/" + n, n);
    }
    service_.OnBuildChain = [&](const std::string& dir, std::vector<std::string>& chain) {
        if (dir == DataDir() + "/t0") {
            chain.push_back(a + ";txt");
            chain.push_back(b + ";txt");
        } else {
            chain.push_back(dir + ";txt");
        }
    };
    int sent = 0;
    struct Seen {
        size_t statusNames = 0, chain = 0;
        bool version = false, pipes = true, terminated = false;
    } seen;
    service_.OnTransfer = [&](const std::string&, const std::string&, bool& cont) {
        TServiceThread* thread = service_.ServiceThread();
        if (thread->Terminated()) { // a stopped service sends nothing more
            cont = false;
            return false;
        }
        if (++sent == 2) {
            thread->PostRequest(SERVICE_CONTROL_STOP);
            thread->ProcessRequests(false);
            seen = {service_.StatusNames.size(), service_.Chain.size(), service_.Version != nullptr,
                    service_.InfoPipe != nullptr || service_.ControlPipe != nullptr,
                    thread->Terminated()};
        }
        return true;
    };
    service_.Cfg().SaveToFile(IniPath());
    bool releasedAfter = false;
    RunInService(service_, [&] {
        service_.StatusNames = {"t0.dst", "t1.dst"};
        service_.ClearEvents();
        service_.DoWork();
        releasedAfter =
            service_.StatusNames.empty() && service_.Chain.empty() && service_.Version == nullptr;
    });
    EXPECT_EQ(seen.statusNames, 2u);
    EXPECT_EQ(seen.chain, 2u);
    EXPECT_TRUE(seen.version);
    EXPECT_FALSE(seen.pipes); // the pipe servers stop at once
    EXPECT_TRUE(seen.terminated);
    EXPECT_TRUE(releasedAfter);
    EXPECT_EQ(service_.Events(),
              (std::vector<std::string>{"chain " + DataDir() + "/t0", "prepare 0", "send 0 5.txt",
                                        "send 0 4.txt", "send 0 3.txt", "after", "finish 0",
                                        "chain " + DataDir() + "/t1"}));
    std::vector<std::string> log = LogMessages();
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(log.end() - 3, log.end()),
              (std::vector<std::string>{"FtTestSvc service stopped", Canceled, Canceled}));
    // What was sent before the stop is recorded.
    EXPECT_EQ(ReadTextFile(a + "/t0.dst").find("3.txt"), std::string::npos);
    EXPECT_NE(ReadTextFile(a + "/t0.dst").find("4.txt"), std::string::npos);
    EXPECT_NE(ReadTextFile(a + "/t0.dst").find("5.txt"), std::string::npos);
    EXPECT_FALSE(FileExists(b + "/t0.dst"));
}
