// The transfer service program as it is deployed: a copy of the program in a directory of its
// own with its configuration beside it, registered with the real service manager by its own
// -INSTALL switch, started, sending a shop tree by COPY, answering on its information and
// control pipes, stopped and removed again.
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

#include <gtest/gtest.h>

#include "common/datetime.h"
#include "common/trconfig.h"
#include "platform/errors.h"
#include "platform/namedpipe.h"
#include "platform/svcmgr/svcmgr_client.h"
#include "service/framework/ft_control.h"
#include "tests/service/kvsrv_fixture.h"
#include "tests/support/childprocess.h"
#include "tests/support/errorcode.h"
#include "tests/support/servicepipecall.h"
#include "tests/support/svcmgr_fixture.h"
#include "tests/support/tempdir.h"

namespace fs = std::filesystem;

namespace {

const std::string ServiceName = "KelvardSvc";

TServiceStateRecord Stats() {
    PipeAnswer answer = CallServicePipe("KvSvcInfo", CmdReqGetStats);
    TServiceStateRecord record{};
    EXPECT_EQ(PipeCommandText(answer.header), CmdAnsGetStats);
    EXPECT_EQ(answer.bytes.size(), StatsAnswerLength);
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

} // namespace

TEST(KvSvcProgram, InstalledStartedSendsByCopyAnswersItsPipesStopsAndIsRemoved) {
    SvcMgrInstance manager;
    const std::string programDir = manager.Root() + "/KelvardSvc";
    const std::string program = programDir + "/kelvardsvc_w10";
    fs::create_directories(programDir);
    fs::copy_file(KV_SVC_PROGRAM, program);
    const std::string iniPath = programDir + "/kelvardsvc.ini";
    const std::string logPath = programDir + "/kelvardsvc.log";

    TrackedTree tree(manager.Root(), "export");
    tree.AddShop("SHOP1");
    tree.AddShop("SHOP2");
    const std::string dest = manager.Root() + "/dest";
    fs::create_directories(dest);
    TTransportConfig config;
    config.TimeBetweenActions = 3600;
    config.TrackDirectory[0] = tree.Dir();
    config.Destination[0] = dest;
    config.SaveToFile(iniPath);
    ASSERT_EQ(chmod(iniPath.c_str(), 0600), 0);
    const std::string ini = ReadTextFile(iniPath);

    // Registered by its own switch, silently, under its names.
    const std::string commandLog = manager.Root() + "/install.log";
    ASSERT_EQ(RunCommand({program, "-INSTALL", "-SILENT"}, commandLog), 0)
        << ReadTextFile(commandLog);
    EXPECT_EQ(ReadTextFile(commandLog), "");
    TScService service =
        TScManager::Open("", SC_MANAGER_CONNECT).OpenService(ServiceName, SERVICE_ALL_ACCESS);
    TServiceConfig registered = service.QueryConfig();
    EXPECT_EQ(registered.BinaryPathName, program);
    EXPECT_EQ(registered.DisplayName, "VANTORIX Transport Service KV Edition");

    service.Start();
    ASSERT_TRUE(WaitUntil([&] { return service.QueryStatus().CurrentState == SERVICE_RUNNING; }))
        << LogTail(manager.LogPath());

    // Started and waiting for its first job, 5 s after the start.
    TServiceStateRecord before;
    ASSERT_TRUE(WaitUntil([&] {
        before = Stats();
        return before.NextActionTime.wYear != 0;
    }));
    EXPECT_EQ(+before.Size, 511);
    EXPECT_EQ(+before.Busy, 0);
    EXPECT_EQ(+before.VersionMajor, KV_VERSION_MAJOR);
    EXPECT_EQ(+before.VersionMinor, KV_VERSION_MINOR);
    EXPECT_EQ(+before.VersionRelease, KV_VERSION_PATCH);
    EXPECT_EQ(std::string(before.LastEventText),
              "Copie des nouveaux fichiers du dossier vers " + dest);
    EXPECT_STREQ(before.LastOkFile, "");

    // The configuration as it is on disk.
    PipeAnswer fetched = CallServicePipe("KvSvcControl", CmdReqGetConfig);
    EXPECT_EQ(PipeCommandText(fetched.header), CmdAnsGetConfig);
    EXPECT_EQ(+fetched.header.PayloadLength, static_cast<int32_t>(ini.size()));
    EXPECT_EQ(fetched.payload, ini);

    // The job: both shops in the destination layout, recorded, and reported. Its end shows
    // when the next one is scheduled.
    TServiceStateRecord after;
    const SYSTEMTIME firstDue = NextActionOf(before);
    ASSERT_TRUE(WaitUntil(
        [&] {
            after = Stats();
            const SYSTEMTIME due = NextActionOf(after);
            return std::memcmp(&due, &firstDue, sizeof due) != 0;
        },
        std::chrono::milliseconds(20000)))
        << LogTail(logPath);
    ExpectArrived(tree, dest);
    ExpectRecorded(tree, "trlist0.dst");
    EXPECT_EQ(+after.FilesOk, tree.Sent().size());
    EXPECT_EQ(+after.FilesBad, 0u);
    EXPECT_STREQ(after.LastOkFile, "SHOP2/filters/f2.fif");
    EXPECT_NE(+after.LastOkTime.wYear, 0);
    EXPECT_STREQ(after.LastBadFile, "");
    EXPECT_EQ(+after.LastBadTime.wYear, 0);
    EXPECT_NE(+after.ReportTime.wYear, 0);
    EXPECT_STREQ(after.LastErrorText, "");
    EXPECT_EQ(std::string(after.LastEventText)
                  .rfind("processed " + std::to_string(tree.Sent().size()) +
                             " files OK, 0 files bad, elapsed ",
                         0),
              0u)
        << after.LastEventText;
    // The next job is due an hour after the end of this one.
    const double dueLater =
        (SystemTimeToDateTime(NextActionOf(after)) - SystemTimeToDateTime(NextActionOf(before))) *
        SecsPerDay;
    EXPECT_GT(dueLater, 3590);
    EXPECT_LT(dueLater, 3620);

    // A new configuration replaces the file whole and keeps its mode.
    std::string replaced = ini;
    const std::string interval = "TimeBetweenActions=3600";
    ASSERT_NE(replaced.find(interval), std::string::npos) << ini;
    replaced.replace(replaced.find(interval), interval.size(), "TimeBetweenActions=900");
    PipeAnswer set = CallServicePipe("KvSvcControl", CmdReqSetConfig, replaced);
    EXPECT_EQ(PipeCommandText(set.header), CmdAnsSetConfig);
    EXPECT_EQ(+set.header.Status, 0);
    EXPECT_EQ(ReadTextFile(iniPath), replaced);
    struct stat st {};
    ASSERT_EQ(stat(iniPath.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    // The statistics are not served on the control pipe.
    EXPECT_EQ(PipeCommandText(CallServicePipe("KvSvcControl", CmdReqGetStats).header),
              CmdAnsReqUnknown);

    service.Control(SERVICE_CONTROL_STOP);
    ASSERT_TRUE(WaitUntil([&] { return service.QueryStatus().CurrentState == SERVICE_STOPPED; }));
    EXPECT_EQ(service.QueryStatus().Win32ExitCode, 0u);
    PipeAnswer gone;
    EXPECT_FALSE(TryCallServicePipe("KvSvcInfo", CmdReqGetStats, "", gone));

    std::vector<std::string> log = LogMessages(logPath);
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front(), "KelvardSvc service started");
    EXPECT_EQ(log.back(), "KelvardSvc service stopped");
    for (const char* line : {"Monitor directory ", "Copie des nouveaux fichiers du dossier vers ",
                             "Service configuration file retrieved by client",
                             "Service configuration file updated by client", "processed "})
        EXPECT_TRUE(std::any_of(log.begin(), log.end(), [&](const std::string& l) {
            return l.rfind(line, 0) == 0;
        })) << line;

    ASSERT_EQ(RunCommand({program, "-UNINSTALL", "-SILENT"}, commandLog), 0)
        << ReadTextFile(commandLog);
    EXPECT_EQ(
        ErrorCodeOf([&] {
            TScManager::Open("", SC_MANAGER_CONNECT).OpenService(ServiceName, SERVICE_QUERY_STATUS);
        }),
        ERROR_SERVICE_DOES_NOT_EXIST);
}
