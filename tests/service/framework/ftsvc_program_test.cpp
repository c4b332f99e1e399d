// A service program built on the file-tracking framework, run by the real service manager:
// it starts, answers on both pipes, runs its first job and stops cleanly in the middle of it.
#include <algorithm>
#include <cstring>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>

#include "common/langtext.h"
#include "platform/namedpipe.h"
#include "platform/svcmgr/svcmgr_client.h"
#include "service/framework/ft_control.h"
#include "tests/support/servicepipecall.h"
#include "tests/support/svcmgr_fixture.h"
#include "tests/support/tempdir.h"

namespace {

const std::string ServiceName = "FtSvc";

TServiceStateRecord Stats() {
    PipeAnswer answer = CallServicePipe(ServiceName + "Info", CmdReqGetStats);
    TServiceStateRecord record{};
    EXPECT_EQ(PipeCommandText(answer.header), CmdAnsGetStats);
    if (answer.bytes.size() == StatsAnswerLength)
        std::memcpy(&record, answer.bytes.data() + StatsOffsetState, sizeof record);
    return record;
}

std::vector<std::string> LogMessages(const std::string& path) {
    std::vector<std::string> lines;
    std::string text = FileExists(path) ? ReadTextFile(path) : "";
    size_t start = 0;
    for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
        std::string line = text.substr(start, end - start);
        lines.push_back(line.substr(line.find('\t') + 1));
    }
    return lines;
}

int CountRecorded(const std::string& statusFile) {
    std::string text = FileExists(statusFile) ? ReadTextFile(statusFile) : "";
    int count = 0;
    size_t start = 0;
    for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
        count += text.compare(start, 1, "#") != 0;
    return count;
}

} // namespace

TEST(FtServiceProgram, RunsUnderTheManagerAnswersItsPipesAndStopsInTheMiddleOfAJob) {
    SvcMgrInstance manager;
    const std::string programDir = manager.Root() + "/ftsvc/" + ServiceName;
    mkdir((manager.Root() + "/ftsvc").c_str(), 0755);
    mkdir(programDir.c_str(), 0755);
    const std::string data = manager.Root() + "/data0", more = manager.Root() + "/data1";
    mkdir(data.c_str(), 0755);
    mkdir(more.c_str(), 0755);
    for (int i = 0; i < 200; ++i)
        WriteTextFile(data + "/f" + std::to_string(1000 + i) + ".txt", "x");
    WriteTextFile(more + "/g.txt", "y");
    const std::string ini = "[General]\r\nLogDetailed=1\r\nTimeBetweenActions=3600\r\n"
                            "[Directory0]\r\nTrackDirectory=" +
                            data +
                            "\r\n"
                            "[Directory1]\r\nTrackDirectory=" +
                            more + "\r\n";
    WriteTextFile(programDir + "/ftsvc.ini", ini);

    TScManager::Open("", SC_MANAGER_ALL_ACCESS)
        .CreateService(ServiceName, "File tracker test", SERVICE_QUERY_STATUS, KV_FTSVC_PROGRAM, "",
                       "");
    TScService service =
        TScManager::Open("", SC_MANAGER_CONNECT).OpenService(ServiceName, SERVICE_ALL_ACCESS);
    service.Start();
    ASSERT_TRUE(WaitUntil([&] { return service.QueryStatus().CurrentState == SERVICE_RUNNING; }));

    // Before the first job (5 s after the start): idle, with its due time published.
    TServiceStateRecord before;
    ASSERT_TRUE(WaitUntil([&] {
        before = Stats();
        return before.NextActionTime.wYear != 0;
    }));
    EXPECT_EQ(+before.Size, 511);
    EXPECT_EQ(+before.Busy, 0);
    EXPECT_EQ(+before.VersionMajor, 3);
    EXPECT_EQ(+before.VersionMinor, 1);
    EXPECT_EQ(+before.VersionRelease, 4);
    EXPECT_EQ(std::string(before.LastEventText), "Pipe server started \"FtSvcControl\"");

    PipeAnswer config = CallServicePipe(ServiceName + "Control", CmdReqGetConfig);
    EXPECT_EQ(PipeCommandText(config.header), CmdAnsGetConfig);
    EXPECT_EQ(config.payload, ini);
    PipeAnswer unknown = CallServicePipe(ServiceName + "Info", CmdReqGetConfig);
    EXPECT_EQ(PipeCommandText(unknown.header), CmdAnsReqUnknown);

    // The job runs: busy, files going out one by one.
    TServiceStateRecord during;
    ASSERT_TRUE(WaitUntil(
        [&] {
            during = Stats();
            return during.Busy == 1 && during.LastOkFile[0] != '\0';
        },
        std::chrono::milliseconds(15000)));
    // The file with its two nearest directory names: the manager's root and data0.
    const std::string rootName = manager.Root().substr(manager.Root().rfind('/') + 1);
    EXPECT_EQ(std::string(during.LastOkFile).rfind(rootName + "/data0/f1", 0), 0u)
        << during.LastOkFile;

    const std::string changed = ini + "[Directory2]\r\nTrackDirectory=/nowhere\r\n";
    PipeAnswer set = CallServicePipe(ServiceName + "Control", CmdReqSetConfig, changed);
    EXPECT_EQ(PipeCommandText(set.header), CmdAnsSetConfig);
    EXPECT_EQ(+set.header.Status, 0);
    EXPECT_EQ(ReadTextFile(programDir + "/ftsvc.ini"), changed);

    auto stopAt = std::chrono::steady_clock::now();
    service.Control(SERVICE_CONTROL_STOP);
    ASSERT_TRUE(WaitUntil([&] { return service.QueryStatus().CurrentState == SERVICE_STOPPED; }));
    // One file of 50 ms and the end of the job, not the remaining files.
    EXPECT_LT(std::chrono::steady_clock::now() - stopAt, std::chrono::milliseconds(3000));
    EXPECT_EQ(service.QueryStatus().Win32ExitCode, 0u);
    PipeAnswer gone;
    EXPECT_FALSE(TryCallServicePipe(ServiceName + "Info", CmdReqGetStats, "", gone));

    // The files sent before the stop are recorded, the rest waits for the next job.
    int recorded = CountRecorded(data + "/dirlist.dst");
    EXPECT_GT(recorded, 0);
    EXPECT_LT(recorded, 200);
    EXPECT_FALSE(FileExists(more + "/dirlist.dst"));

    std::vector<std::string> log = LogMessages(programDir + "/ftsvc.log");
    auto at = [&](const std::string& line) {
        return std::find(log.begin(), log.end(), line) - log.begin();
    };
    const long n = static_cast<long>(log.size());
    EXPECT_LT(at("FtSvc service started"), n);
    EXPECT_LT(at("Service configuration file retrieved by client"), n);
    EXPECT_LT(at("Service configuration file updated by client"), n);
    EXPECT_LT(at("Processing chain " + data), n);
    EXPECT_LT(at("Stopping service..."), at("FtSvc service stopped"));
    EXPECT_LT(at("Pipe server stopped \"FtSvcControl\""), at("Pipe server stopped \"FtSvcInfo\""));
    // After the stop: the first tracked directory is summed up (the refused file counts as
    // bad), the second is cut short at its first check point.
    const std::string summary = "processed " + std::to_string(recorded) + " files OK, 1 files bad";
    ASSERT_LT(at("FtSvc service stopped"), n);
    std::vector<std::string> tail(log.begin() + at("FtSvc service stopped") + 1, log.end());
    ASSERT_EQ(tail.size(), 5u) << ::testing::PrintToString(tail);
    EXPECT_EQ(tail[0].rfind("processed directory " + data + ", elasped ", 0), 0u) << tail[0];
    EXPECT_EQ(tail[1].rfind("postprocessing after " + std::to_string(recorded) +
                                " source files finished, elapsed ",
                            0),
              0u)
        << tail[1];
    EXPECT_EQ(tail[2].rfind(summary, 0), 0u) << tail[2];
    EXPECT_EQ(tail[3], "Processing chain " + more);
    EXPECT_EQ(tail[4], langtext::ServiceTaskCanceled);
}
