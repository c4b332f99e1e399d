// Services under the real manager: start and stop with their pending states, control
// requests during a job, failed and stuck starts, a killed service process, and the end of
// the manager.
#include <atomic>
#include <csignal>
#include <iostream>
#include <sys/wait.h>
#include <thread>

#include "tests/platform/svcmgr/svcmgr_test_helpers.h"

using std::chrono::milliseconds;

namespace {

std::vector<std::string> Without(std::vector<std::string> lines, const std::string& prefix) {
    std::erase_if(lines, [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
    return lines;
}

bool ProcessGone(pid_t pid) {
    return kill(pid, 0) != 0 && errno == ESRCH;
}

// The pid of the daemon that the test service `name` logged (mode "daemon"), or -1.
pid_t DaemonOf(const std::string& log) {
    pid_t pid = -1;
    WaitUntil([&] {
        std::string text = FileExists(log) ? ReadTextFile(log) : "";
        size_t at = text.find("daemon ");
        if (at != std::string::npos)
            pid = static_cast<pid_t>(std::atoi(text.c_str() + at + 7));
        return at != std::string::npos;
    });
    return pid;
}

} // namespace

TEST_F(SvcMgrTest, StartAndStopPassThroughTheirPendingStates) {
    Install("Plain", "slowstart slowstop");
    TScService service = Open("Plain");
    service.Start();
    // The start returns once the program runs and has reported, well before the service runs.
    EXPECT_EQ(service.QueryStatus().CurrentState, SERVICE_START_PENDING);
    EXPECT_EQ(ErrorCodeOf([&] { service.Start(); }), ERROR_SERVICE_ALREADY_RUNNING);

    std::vector<uint32_t> checkpoints;
    TServiceStatus s;
    ASSERT_TRUE(WaitUntil([&] {
        s = service.QueryStatus();
        if (s.CurrentState == SERVICE_START_PENDING && s.CheckPoint > 0) {
            EXPECT_EQ(s.WaitHint, 10000u);
            if (checkpoints.empty() || checkpoints.back() != s.CheckPoint)
                checkpoints.push_back(s.CheckPoint);
        }
        return s.CurrentState != SERVICE_START_PENDING;
    }));
    EXPECT_EQ(s.CurrentState, SERVICE_RUNNING);
    EXPECT_EQ(s.CheckPoint, 0u);
    EXPECT_GT(s.ProcessId, 0u);
    ASSERT_GE(checkpoints.size(), 3u);
    EXPECT_TRUE(std::is_sorted(checkpoints.begin(), checkpoints.end()));

    TServiceStatus answer = service.Control(SERVICE_CONTROL_STOP);
    EXPECT_NE(answer.CurrentState, SERVICE_STOPPED); // accepted, not waited for
    checkpoints.clear();
    ASSERT_TRUE(WaitUntil([&] {
        s = service.QueryStatus();
        if (s.CurrentState == SERVICE_STOP_PENDING &&
            (checkpoints.empty() || checkpoints.back() != s.CheckPoint))
            checkpoints.push_back(s.CheckPoint);
        return s.CurrentState == SERVICE_STOPPED;
    }));
    EXPECT_GE(checkpoints.size(), 2u);
    EXPECT_EQ(s.Win32ExitCode, 0u);
    EXPECT_EQ(s.ProcessId, 0u);
    EXPECT_EQ(ErrorCodeOf([&] { service.Control(SERVICE_CONTROL_STOP); }),
              ERROR_SERVICE_NOT_ACTIVE);
    ASSERT_TRUE(WaitUntil([&] { return service.QueryStatus().ProcessExitCode == 0; }));
    EXPECT_EQ(
        Without(LogLines("Plain"), "start"),
        (std::vector<std::string>{"execute service-thread", "stop service-thread", "execute-end"}));
    EXPECT_TRUE(Logged("Plain", "start uid=" + std::to_string(getuid()) + " service-thread"));
}

TEST_F(SvcMgrTest, InterrogationDuringAJobIsNoCancelButAStopIs) {
    Install("Jobs");
    TScService service = Open("Jobs");
    service.Start();
    AwaitState("Jobs", SERVICE_RUNNING);

    Trigger("Jobs", "job");
    ASSERT_TRUE(AwaitLogged("Jobs", "job-begin"));
    EXPECT_EQ(service.Control(SERVICE_CONTROL_INTERROGATE).CurrentState, SERVICE_RUNNING);
    ASSERT_TRUE(AwaitLogged("Jobs", "job-end"));
    EXPECT_EQ(LogLines("Jobs").back(), "job-end");
    EXPECT_FALSE(Logged("Jobs", "cancel"));
    EXPECT_TRUE(Logged("Jobs", "peek-interrogate"));

    Trigger("Jobs", "job");
    ASSERT_TRUE(WaitUntil([&] { return LogLines("Jobs").back() == "job-begin"; }));
    service.Control(SERVICE_CONTROL_STOP);
    AwaitState("Jobs", SERVICE_STOPPED);
    auto lines = LogLines("Jobs");
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(
        std::vector<std::string>(lines.end() - 4, lines.end()),
        (std::vector<std::string>{"cancel", "job-end", "stop service-thread", "execute-end"}));
}

TEST_F(SvcMgrTest, StopAfterManyInterrogationsCutsTheJob) {
    Install("Hidden");
    TScService service = Open("Hidden");
    service.Start();
    AwaitState("Hidden", SERVICE_RUNNING);
    Trigger("Hidden", "job");
    ASSERT_TRUE(AwaitLogged("Hidden", "job-begin"));
    // Interrogations from four clients at once, as fast as the manager answers them.
    std::atomic<int> failed{0}; // refused for a full channel
    std::vector<std::thread> clients;
    for (int c = 0; c < 4; ++c)
        clients.emplace_back([&] {
            TScService mine = Open("Hidden", SERVICE_INTERROGATE);
            for (int i = 0; i < 250; ++i)
                if (ErrorCodeOf([&] { mine.Control(SERVICE_CONTROL_INTERROGATE); }) ==
                    ERROR_SERVICE_REQUEST_TIMEOUT)
                    ++failed; // the channel was full
        });
    for (auto& client : clients)
        client.join();
    auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(ErrorCodeOf([&] { service.Control(SERVICE_CONTROL_STOP); }), 0);
    AwaitState("Hidden", SERVICE_STOPPED);
    auto took = std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - before);
    EXPECT_EQ(failed, 0);
    // The stop did not wait behind the interrogations: it cut the job short.
    auto lines = Without(Without(LogLines("Hidden"), "start"), "peek-interrogate");
    EXPECT_EQ(lines, (std::vector<std::string>{"execute service-thread", "job-begin", "cancel",
                                               "job-end", "stop service-thread", "execute-end"}));
    std::cout << "stopped " << took.count() << " ms after the stop request\n";
}

TEST_F(SvcMgrTest, StopProcessedInsideAJobTerminatesTheServiceThread) {
    Install("Inner", "jobprocess");
    TScService service = Open("Inner");
    service.Start();
    AwaitState("Inner", SERVICE_RUNNING);
    Trigger("Inner", "job");
    ASSERT_TRUE(AwaitLogged("Inner", "job-begin"));
    service.Control(SERVICE_CONTROL_STOP);
    AwaitState("Inner", SERVICE_STOPPED);
    auto lines = Without(LogLines("Inner"), "start");
    EXPECT_EQ(lines, (std::vector<std::string>{"execute service-thread", "job-begin",
                                               "stop service-thread", "job-terminated", "job-end",
                                               "execute-end"}));
}

TEST_F(SvcMgrTest, StartReturningFalseStopsTheServiceWithoutExecute) {
    Install("Refuses", "startfalse");
    TScService service = Open("Refuses");
    service.Start();
    TServiceStatus s = AwaitState("Refuses", SERVICE_STOPPED);
    EXPECT_EQ(s.Win32ExitCode, 0u);
    ASSERT_TRUE(WaitUntil([&] { return service.QueryStatus().ProcessExitCode == 0; }));
    auto lines = LogLines("Refuses");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("start", 0), 0u);
    // Stopped for good: nothing restarts it.
    std::this_thread::sleep_for(milliseconds(200));
    EXPECT_EQ(service.QueryStatus().CurrentState, SERVICE_STOPPED);
}

TEST_F(SvcMgrTest, StuckStartKeepsItsCheckpointAndRefusesStop) {
    Install("Stuck", "stuck");
    TScService service = Open("Stuck");
    service.Start();
    ASSERT_TRUE(WaitUntil([&] { return service.QueryStatus().CheckPoint == 1; }));
    EXPECT_EQ(service.Control(SERVICE_CONTROL_INTERROGATE).CurrentState, SERVICE_START_PENDING);
    for (int i = 0; i < 5; ++i) {
        TServiceStatus s = service.QueryStatus();
        EXPECT_EQ(s.CurrentState, SERVICE_START_PENDING);
        EXPECT_EQ(s.CheckPoint, 1u);
        EXPECT_EQ(s.WaitHint, 10000u);
        std::this_thread::sleep_for(milliseconds(100));
    }
    EXPECT_EQ(ErrorCodeOf([&] { service.Control(SERVICE_CONTROL_STOP); }),
              ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
    Trigger("Stuck", "release");
    AwaitState("Stuck", SERVICE_RUNNING);
    service.Control(SERVICE_CONTROL_STOP);
    AwaitState("Stuck", SERVICE_STOPPED);
}

TEST_F(SvcMgrTest, KilledServiceProcessIsStoppedAndTheManagerGoesOn) {
    Install("Victim");
    TScService service = Open("Victim");
    service.Start();
    TServiceStatus running = AwaitState("Victim", SERVICE_RUNNING);
    ASSERT_GT(running.ProcessId, 0u);
    ASSERT_EQ(kill(static_cast<pid_t>(running.ProcessId), SIGKILL), 0);
    TServiceStatus s = AwaitState("Victim", SERVICE_STOPPED);
    EXPECT_EQ(s.Win32ExitCode, static_cast<uint32_t>(ERROR_PROCESS_ABORTED));
    EXPECT_EQ(s.ProcessExitCode, 128 + SIGKILL);
    EXPECT_EQ(s.ProcessId, 0u);
    // Not restarted by the manager, which still serves.
    std::this_thread::sleep_for(milliseconds(200));
    EXPECT_EQ(service.QueryStatus().CurrentState, SERVICE_STOPPED);
    EXPECT_EQ(TScManager::Open("", SC_MANAGER_ALL_ACCESS).ListServices().size(), 1u);
    service.Start();
    AwaitState("Victim", SERVICE_RUNNING);
    service.Control(SERVICE_CONTROL_STOP);
    AwaitState("Victim", SERVICE_STOPPED);
}

TEST_F(SvcMgrTest, ServiceDeletedWhileRunningGoesWhenItStops) {
    Install("Doomed");
    TScService service = Open("Doomed");
    service.Start();
    AwaitState("Doomed", SERVICE_RUNNING);
    service.Delete();
    EXPECT_FALSE(FileExists(manager_.Root() + "/services/doomed.svc"));
    EXPECT_EQ(ErrorCodeOf([&] { service.Delete(); }), ERROR_SERVICE_MARKED_FOR_DELETE);
    EXPECT_EQ(ErrorCodeOf([&] { Install("Doomed"); }), ERROR_SERVICE_MARKED_FOR_DELETE);
    service.Control(SERVICE_CONTROL_STOP);
    ASSERT_TRUE(WaitUntil([&] {
        return ErrorCodeOf([&] { service.QueryStatus(); }) == ERROR_SERVICE_DOES_NOT_EXIST;
    }));
}

TEST_F(SvcMgrTest, TerminatedManagerShutsItsServicesDown) {
    Install("Down");
    Install("Idle");
    TScService service = Open("Down");
    service.Start();
    pid_t pid = static_cast<pid_t>(AwaitState("Down", SERVICE_RUNNING).ProcessId);
    EXPECT_EQ(manager_.Stop(), 0);
    EXPECT_EQ(Without(LogLines("Down"), "start"),
              (std::vector<std::string>{"execute service-thread", "shutdown service-thread",
                                        "execute-end"}));
    EXPECT_TRUE(ProcessGone(pid));
    EXPECT_FALSE(FileExists(LogPath("Idle")));
}

TEST(SvcMgrShutdown, ServiceThatDoesNotStopInTimeIsKilled) {
    SvcMgrInstance manager(0.5);
    std::string dir = manager.Root() + "/testsvc";
    mkdir(dir.c_str(), 0777);
    WriteTextFile(dir + "/Deaf.mode", "stuck");
    TScManager::Open("", SC_MANAGER_ALL_ACCESS)
        .CreateService("Deaf", "", SERVICE_ALL_ACCESS, TestServiceProgram(), "", "")
        .Start();
    TScService service =
        TScManager::Open("", SC_MANAGER_CONNECT).OpenService("Deaf", SERVICE_ALL_ACCESS);
    ASSERT_TRUE(WaitUntil([&] { return service.QueryStatus().CheckPoint == 1; }));
    pid_t pid = static_cast<pid_t>(service.QueryStatus().ProcessId);
    auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(manager.Stop(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - before, milliseconds(5000));
    EXPECT_TRUE(ProcessGone(pid));
    EXPECT_NE(ReadTextFile(manager.LogPath()).find("Deaf did not stop in time"), std::string::npos);
}

TEST(SvcMgrLeftovers, NothingAServiceStartedOutlivesItsStopAKilledStartOrTheShutdown) {
    SvcMgrInstance manager(0.5, 0.5);
    std::string dir = manager.Root() + "/testsvc";
    mkdir(dir.c_str(), 0777);
    TScManager scm = TScManager::Open("", SC_MANAGER_ALL_ACCESS);
    // A stop: the daemon the service left in a session of its own goes with it.
    WriteTextFile(dir + "/Leaver.mode", "daemon");
    TScService leaver =
        scm.CreateService("Leaver", "", SERVICE_ALL_ACCESS, TestServiceProgram(), "", "");
    leaver.Start();
    pid_t daemon = DaemonOf(dir + "/Leaver.log");
    ASSERT_GT(daemon, 0);
    EXPECT_FALSE(ProcessGone(daemon));
    leaver.Control(SERVICE_CONTROL_STOP);
    ASSERT_TRUE(WaitUntil([&] { return leaver.QueryStatus().ProcessExitCode >= 0; }));
    EXPECT_EQ(leaver.QueryStatus().ProcessExitCode, 0);
    EXPECT_TRUE(ProcessGone(daemon));

    // A start that timed out: a program that never reports and leaves a daemon.
    std::string silent = dir + "/silent.sh";
    WriteTextFile(silent, "#!/bin/sh\nsetsid sleep 300 &\necho $! > " + dir +
                              "/silent.pid\nexec sleep 30\n");
    chmod(silent.c_str(), 0755);
    EXPECT_EQ(ErrorCodeOf([&] {
                  scm.CreateService("Silent", "", SERVICE_ALL_ACCESS, silent, "", "").Start();
              }),
              ERROR_SERVICE_REQUEST_TIMEOUT);
    daemon = static_cast<pid_t>(std::atoi(ReadTextFile(dir + "/silent.pid").c_str()));
    ASSERT_GT(daemon, 0);
    EXPECT_TRUE(WaitUntil([&] { return ProcessGone(daemon); }, milliseconds(3000)));

    // The manager's kill of a service that did not shut down in time.
    WriteTextFile(dir + "/Deaf.mode", "daemon stuck");
    scm.CreateService("Deaf", "", SERVICE_ALL_ACCESS, TestServiceProgram(), "", "").Start();
    daemon = DaemonOf(dir + "/Deaf.log");
    ASSERT_GT(daemon, 0);
    EXPECT_EQ(manager.Stop(), 0);
    EXPECT_TRUE(ProcessGone(daemon));
}

TEST(SvcMgrLaunch, ProgramsThatDoNotActAsServicesFailTheStart) {
    SvcMgrInstance manager(10, 0.5);
    TScManager scm = TScManager::Open("", SC_MANAGER_ALL_ACCESS);
    std::string silent = manager.Root() + "/silent.sh";
    WriteTextFile(silent, "#!/bin/sh\nexec sleep 30\n");
    chmod(silent.c_str(), 0755);
    struct Case {
        std::string program;
        int code;
    };
    for (const Case& c :
         {Case{"/bin/true", ERROR_PROCESS_ABORTED}, Case{"/no/such/program", ENOENT},
          Case{silent, ERROR_SERVICE_REQUEST_TIMEOUT}}) {
        TScService service = scm.CreateService("Odd", "", SERVICE_ALL_ACCESS, c.program, "", "");
        try {
            service.Start();
            ADD_FAILURE() << c.program << " started";
        } catch (const EOSError& e) {
            EXPECT_EQ(e.Code, c.code) << c.program << ": " << e.what();
            if (c.code == ENOENT) {
                EXPECT_NE(std::string(e.what()).find(c.program), std::string::npos);
            }
        }
        TServiceStatus s = service.QueryStatus();
        EXPECT_EQ(s.CurrentState, SERVICE_STOPPED);
        EXPECT_EQ(s.Win32ExitCode, static_cast<uint32_t>(c.code));
        // The launched process is gone (or reaped soon): the manager has no process left.
        service.Delete();
        EXPECT_EQ(ErrorCodeOf([&] { service.QueryStatus(); }), ERROR_SERVICE_DOES_NOT_EXIST);
    }
    auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(manager.Stop(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - before, milliseconds(2000));
}

TEST(SvcMgrLaunch, ProgramOfAnotherServiceFailsTheStart) {
    SvcMgrInstance manager;
    std::string dir = manager.Root() + "/testsvc";
    mkdir(dir.c_str(), 0777);
    WriteTextFile(dir + "/Mismatch.force", "SomeOtherService");
    TScService service =
        TScManager::Open("", SC_MANAGER_ALL_ACCESS)
            .CreateService("Mismatch", "", SERVICE_ALL_ACCESS, TestServiceProgram(), "", "");
    EXPECT_EQ(ErrorCodeOf([&] { service.Start(); }), ERROR_SERVICE_NOT_IN_EXE);
    EXPECT_EQ(service.QueryStatus().Win32ExitCode, static_cast<uint32_t>(ERROR_SERVICE_NOT_IN_EXE));
}
