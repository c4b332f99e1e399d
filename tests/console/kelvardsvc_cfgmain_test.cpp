// The transfer console's main window and program on the real transfer service under the real
// service manager: its names, its captions, the configuration round trip with /CONFIG and
// /TIME:, and the service account that each configuration gives.
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QTabWidget>
#include <filesystem>
#include <gtest/gtest.h>
#include <signal.h>

#include "common/Comserv.h"
#include "common/inifile.h"
#include "common/trconfig.h"
#include "console/kelvardsvc_cfgmain.h"
#include "platform/svcmgr/svcmgr_client.h"
#include "tests/console/support/consoletest.h"
#include "tests/support/childprocess.h"
#include "tests/support/svcmgr_fixture.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const std::string Svc = "KelvardSvc";

// The transfer service program in a directory of its own under a manager, with a COPY
// configuration.
class TransferService {
public:
    TransferService() {
        fs::create_directories(ProgramDir());
        fs::copy_file(KV_SVC_PROGRAM, ProgramDir() + "/kelvardsvc_w10");
        fs::create_directories(manager_.Root() + "/export");
        fs::create_directories(manager_.Root() + "/dest");
        TTransportConfig config;
        config.TimeBetweenActions = 3600;
        config.TrackDirectory[0] = manager_.Root() + "/export";
        config.Destination[0] = manager_.Root() + "/dest";
        config.SaveToFile(Ini());
        TScManager::Open("", SC_MANAGER_ALL_ACCESS)
            .CreateService(Svc, Svc, SERVICE_QUERY_STATUS, ProgramDir() + "/kelvardsvc_w10", "",
                           "");
    }
    std::string ProgramDir() const { return manager_.Root() + "/KelvardSvc"; }
    std::string Ini() const { return ProgramDir() + "/kelvardsvc.ini"; }
    const std::string& Root() const { return manager_.Root(); }
    TScService Open() {
        return TScManager::Open("", SC_MANAGER_CONNECT).OpenService(Svc, SERVICE_ALL_ACCESS);
    }
    TServiceStatus Status() { return Open().QueryStatus(); }
    bool Start() {
        Open().Start();
        return WaitUntil([&] { return Status().CurrentState == SERVICE_RUNNING; });
    }

private:
    SvcMgrInstance manager_;
};

std::unique_ptr<TMainWnd> OpenWindow(TScriptedUi& ui, std::vector<std::string> args) {
    auto window = TSvcWndBase::CreateWindow<TMainWnd>(ui, std::move(args));
    // This test's own working copy, beside the test program.
    window->LocalConfigFileName = "kvconsole_test_local.ini";
    window->show();
    return window;
}

std::unique_ptr<TTransportConfig> Config(TTransferType type, const std::string& user,
                                         const std::string& password) {
    auto config = std::make_unique<TTransportConfig>();
    config->Transport = type;
    config->Username = user;
    config->Password = password;
    return config;
}

TServiceAccount Account(TTransferType type, const std::string& user, const std::string& password) {
    return ServiceAccountFor(*Config(type, user, password));
}

} // namespace

TEST(KvConsole, ConfigSwitchOpensTheDialogOnTheFirstRunningTickAndRestartsWithTheNewPeriod) {
    TransferService service;
    ASSERT_TRUE(service.Start());
    const uint32_t firstPid = service.Status().ProcessId;
    TScriptedUi ui;
    bool dialogSeen = false;
    std::string modeShown;
    std::unique_ptr<TMainWnd> window;
    std::string requestsBefore, requestsAfter;
    WhenModalOpens([&](QDialog* dialog) {
        dialogSeen = true;
        modeShown = Child<QComboBox>(dialog, "CbTransferMode")->currentText().toStdString();
        // The window goes on polling under the dialog: the service counts more requests.
        auto* requests = Child<QLabel>(window.get(), "LabReqVal");
        requestsBefore = requests->text().toStdString();
        ProcessEventsFor(1200ms);
        requestsAfter = requests->text().toStdString();
        Child<QPushButton>(dialog, "BtnOK")->click();
    });
    window = OpenWindow(ui, {"/CONFIG", "/TIME:120"});

    // The transfer service's names survived the base creation; its captions are in place.
    EXPECT_EQ(window->ServiceName, "KelvardSvc");
    EXPECT_EQ(window->InfoPipeName, "KvSvcInfo");
    EXPECT_EQ(window->ControlPipeName, "KvSvcControl");
    EXPECT_EQ(window->SettingsFileName, "kelvardsvc_cfg.ini");
    EXPECT_EQ(window->windowTitle().toStdString(),
              "Service de Trasport et de Configuration & Statut");
    EXPECT_EQ(Child<QLabel>(window.get(), "LabPc")->text().toStdString(),
              "Contrôler Service de Transport sur ");
    EXPECT_EQ(Child<QTabWidget>(window.get(), "PgcMain")->tabText(0).toStdString(),
              "Envoi des fichiers");

    ASSERT_TRUE(ProcessEventsUntil(
        [&] { return dialogSeen && window->StatusText() == "Service is running"; }, 40s))
        << window->StatusText();
    EXPECT_TRUE(ui.Boxes.empty()) << ui.Boxes.front().Text;
    EXPECT_EQ(modeShown, "COPY"); // a COPY configuration stays COPY
    EXPECT_NE(requestsBefore, requestsAfter);
    TIniFile sent(service.Ini());
    EXPECT_EQ(sent.ReadInteger("General", "TimeBetweenActions", 0), 120);
    EXPECT_EQ(sent.ReadString("Transport", "Transport", ""), "COPY");
    EXPECT_EQ(service.Status().CurrentState, SERVICE_RUNNING);
    EXPECT_NE(service.Status().ProcessId, firstPid);
    EXPECT_EQ(service.Open().QueryConfig().ServiceStartName, ".\\LocalSystem");
    // The statistics of the restarted service come through its information pipe.
    EXPECT_TRUE(ProcessEventsUntil(
        [&] { return !Child<QLabel>(window.get(), "LabVersionVal")->text().isEmpty(); }));
    fs::remove(window->LocalConfigPath());
    window.reset();

    // The program itself, in a program directory of its own: with /CONFIG it fetches the
    // configuration (the working copy appears beside it) as soon as it sees the service run.
    const std::string consoleDir = service.Root() + "/console";
    fs::create_directories(consoleDir);
    fs::copy_file(KV_CFG_PROGRAM, consoleDir + "/kelvardsvc_w10_cfg");
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ChildProcess console({consoleDir + "/kelvardsvc_w10_cfg", "/CONFIG"}, consoleDir + "/out.log");
    EXPECT_TRUE(WaitUntil([&] { return FileExists(consoleDir + "/kelvardsvc_local.ini"); }, 20s))
        << LogTail(consoleDir + "/out.log");
    EXPECT_TRUE(FileExists(consoleDir + "/kelvardsvc_cfg.ini"));
    EXPECT_FALSE(console.HasExited());
    console.Stop();
}

TEST(KvConsole, ServiceAccountFollowsTheWorkingCopy) {
    // The upload kinds and COPY without a real user run as root with no password.
    for (TTransferType type : {ttFtp, ttFtps, ttSftp}) {
        EXPECT_EQ(Account(type, "shop", "secret").Account, ".\\LocalSystem");
        EXPECT_EQ(Account(type, "shop", "secret").Password, "");
    }
    EXPECT_EQ(Account(ttCopy, "", "x").Account, ".\\LocalSystem");
    EXPECT_EQ(Account(ttCopy, ".\\localsystem", "x").Account, ".\\LocalSystem");
    EXPECT_EQ(Account(ttCopy, ".\\localsystem", "x").Password, "");
    // Without ".\" it is a user name like any other.
    EXPECT_EQ(Account(ttCopy, "LocalSystem", "pw").Account, "LocalSystem");
    EXPECT_EQ(Account(ttCopy, "LocalSystem", "pw").Password, "pw");
    EXPECT_EQ(Account(ttCopy, ".\\shop", "").Password, "");
    EXPECT_EQ(Account(ttCopy, ".\\shop", std::string(64, 'p')).Password, std::string(64, 'p'));
    // A longer password is refused rather than cut: the service could not log on with it.
    EXPECT_THROW(Account(ttCopy, ".\\shop", std::string(65, 'p')), std::exception);

    // What the window sets is what the manager keeps.
    TransferService service;
    TScriptedUi ui;
    std::unique_ptr<TMainWnd> window = OpenWindow(ui, {});
    Config(ttCopy, ".\\shop", "pw")->SaveToFile(window->LocalConfigPath());
    window->ChangeServiceAccount(TScManager::Open("", SC_MANAGER_ALL_ACCESS));
    EXPECT_EQ(service.Open().QueryConfig().ServiceStartName, ".\\shop");
    Config(ttSftp, "shop", "secret")->SaveToFile(window->LocalConfigPath());
    window->ChangeServiceAccount(TScManager::Open("", SC_MANAGER_ALL_ACCESS));
    EXPECT_EQ(service.Open().QueryConfig().ServiceStartName, ".\\LocalSystem");
    fs::remove(window->LocalConfigPath());
}
