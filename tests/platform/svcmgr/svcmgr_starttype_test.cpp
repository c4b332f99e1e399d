// Start types: a service registered by its program's switch starts again with its manager,
// on-demand and disabled services do not, and a broken automatic service holds up no other.
#include <algorithm>

#include "tests/platform/svcmgr/svcmgr_test_helpers.h"
#include "tests/support/childprocess.h"

namespace {

size_t CountPrefixed(const std::vector<std::string>& lines, const std::string& prefix) {
    return static_cast<size_t>(std::count_if(
        lines.begin(), lines.end(), [&](const auto& l) { return l.rfind(prefix, 0) == 0; }));
}

} // namespace

TEST_F(SvcMgrTest, AutomaticServicesStartWithTheManagerAndTheOthersDoNot) {
    // Installed as a shop PC installs it: the program's own switch.
    setenv("TESTSVC_NAME", "Boot", 1);
    int installed = RunCommand({TestServiceProgram(), "-INSTALL"}, TestDir() + "/install.log");
    unsetenv("TESTSVC_NAME");
    ASSERT_EQ(installed, 0) << LogTail(TestDir() + "/install.log");
    EXPECT_EQ(Open("Boot").QueryConfig().StartType, SERVICE_AUTO_START);
    Install("Manual");
    EXPECT_EQ(Open("Manual").QueryConfig().StartType, SERVICE_DEMAND_START);
    Install("Off");
    Open("Off").ChangeStartType(SERVICE_DISABLED);
    // An automatic service whose program is gone, sorted before the others.
    TScManager::Open("", SC_MANAGER_ALL_ACCESS)
        .CreateService("Aaa", "", 0, "/no/such/program", "", "", SERVICE_AUTO_START);
    // A registry file written before services had start types.
    WriteTextFile(manager_.Root() + "/services/legacy.svc",
                  "Name=Legacy\nDisplayName=Legacy\nBinaryPath=" + TestServiceProgram() +
                      "\nStartName=.\\LocalSystem\nPassword=\n");

    EXPECT_EQ(ErrorCodeOf([&] { Open("Off").Start(); }), ERROR_SERVICE_DISABLED);
    EXPECT_EQ(ErrorCodeOf([&] { Open("Off").ChangeStartType(7); }), EINVAL);
    Open("Boot").Start();
    AwaitState("Boot", SERVICE_RUNNING);
    EXPECT_EQ(CountPrefixed(LogLines("Boot"), "start "), 1u);

    // SIGTERM with the service running, then the manager again, as at a reboot.
    EXPECT_EQ(manager_.Stop(), 0);
    EXPECT_TRUE(Logged("Boot", "shutdown service-thread"));
    manager_.Start();
    AwaitState("Boot", SERVICE_RUNNING);
    EXPECT_EQ(CountPrefixed(LogLines("Boot"), "start "), 2u);
    EXPECT_TRUE(WaitUntil([&] { return Status("Aaa").Win32ExitCode == ENOENT; }));
    EXPECT_NE(ReadTextFile(manager_.LogPath()).find("automatic start of service Aaa failed"),
              std::string::npos)
        << LogTail(manager_.LogPath());
    for (const char* name : {"Manual", "Off", "Legacy"}) {
        EXPECT_EQ(Status(name).CurrentState, SERVICE_STOPPED) << name;
        EXPECT_FALSE(FileExists(LogPath(name))) << name;
    }
    EXPECT_EQ(Open("Legacy").QueryConfig().StartType, SERVICE_DEMAND_START);
    EXPECT_EQ(ErrorCodeOf([&] { Open("Off").Start(); }), ERROR_SERVICE_DISABLED);

    // The administrator's client shows the start type and changes it.
    std::string log = TestDir() + "/cli.log";
    EXPECT_EQ(RunCommand({SvcMgrProgram(), "query", "Boot"}, log), 0);
    EXPECT_NE(ReadTextFile(log).find("  start type:   automatic\n"), std::string::npos);
    EXPECT_EQ(RunCommand({SvcMgrProgram(), "starttype", "Off", "demand"}, log), 0);
    EXPECT_EQ(RunCommand({SvcMgrProgram(), "starttype", "Off", "sometimes"}, log), 2);
    Open("Off").Start();
    AwaitState("Off", SERVICE_RUNNING);
    EXPECT_NE(ReadTextFile(manager_.Root() + "/services/off.svc").find("StartType=demand\n"),
              std::string::npos);
}
