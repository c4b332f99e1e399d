// Starting and stopping a service and waiting for it, against the real service manager and
// the test service program, whose checkpoints advance, stall or are already at the target.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "console/framework/svcctrl.h"
#include "platform/errors.h"
#include "platform/svcmgr/svcmgr_client.h"
#include "tests/support/svcmgr_fixture.h"
#include "tests/support/tempdir.h"

namespace {

class ServiceControl : public ::testing::Test {
protected:
    ServiceControl() { mkdir((manager_.Root() + "/testsvc").c_str(), 0777); }
    // Registers the test service program as `name` with its behaviour words.
    void Install(const std::string& name, const std::string& mode) {
        WriteTextFile(manager_.Root() + "/testsvc/" + name + ".mode", mode);
        Manager().CreateService(name, name, SERVICE_QUERY_STATUS, KV_TESTSVC_PROGRAM, "", "");
    }
    TScManager Manager() { return TScManager::Open("", SC_MANAGER_ALL_ACCESS); }
    uint32_t State(const std::string& name) {
        return Manager().OpenService(name, SERVICE_QUERY_STATUS).QueryStatus().CurrentState;
    }
    std::string Failure(const std::function<void()>& call) {
        try {
            call();
        } catch (const std::exception& e) {
            return e.what();
        }
        return "";
    }

    SvcMgrInstance manager_;
};

} // namespace

TEST_F(ServiceControl, WaitsWhileTheCheckpointAdvancesAndFailsWhenItStalls) {
    Install("Slow", "slowstart slowstop");
    StartServiceAndWait(Manager(), "Slow");
    EXPECT_EQ(State("Slow"), SERVICE_RUNNING);
    StopServiceAndWait(Manager(), "Slow");
    EXPECT_EQ(State("Slow"), SERVICE_STOPPED);

    // A start whose checkpoint stays put fails, although the service may still come up.
    Install("Stuck", "stuck");
    EXPECT_EQ(Failure([&] { StartServiceAndWait(Manager(), "Stuck"); }), "Failed to start service");
    EXPECT_EQ(State("Stuck"), SERVICE_START_PENDING);
    WriteTextFile(manager_.Root() + "/testsvc/Stuck.release", "");
    EXPECT_TRUE(WaitUntil([&] { return State("Stuck") == SERVICE_RUNNING; }));
}

TEST_F(ServiceControl, AServiceAlreadyInTheTargetStateGivesTheManagersError) {
    Install("Plain", "");
    // Stopping a stopped service is the stop control's error, not a failed wait.
    std::string stop = Failure([&] { StopServiceAndWait(Manager(), "Plain"); });
    EXPECT_EQ(stop.rfind("System Error.  Code: 1062.\r\n", 0), 0u) << stop;
    StartServiceAndWait(Manager(), "Plain");
    std::string again = Failure([&] { StartServiceAndWait(Manager(), "Plain"); });
    EXPECT_EQ(again.rfind("System Error.  Code: 1056.\r\n", 0), 0u) << again;
    std::string missing = Failure([&] { StartServiceAndWait(Manager(), "Missing"); });
    EXPECT_EQ(missing.rfind("System Error.  Code: 1060.\r\n", 0), 0u) << missing;
    EXPECT_EQ(ServiceStateText(0), "Service state unknown");
    EXPECT_EQ(ServiceStateText(8), "Service state unknown");
    EXPECT_EQ(ServiceStateText(SERVICE_RUNNING), "Service is running");
}
