// The transfer service under a user account, set by the console: the real manager, the real
// service program, a real system account. The service keeps its pipes, its log and its
// configuration exchange; nobody else can take its pipe names or touch its programs; a refused
// account leaves it running; `svcmgr config` (here and through the bridge) sets it back.
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "common/inifile.h"
#include "common/trconfig.h"
#include "console/kelvardsvc_cfgmain.h"
#include "platform/remotepc.h"
#include "platform/svcmgr/svcmgr_cli.h"
#include "platform/svcmgr/svcmgr_client.h"
#include "platform/svcroot.h"
#include "tests/console/support/consoletest.h"
#include "tests/support/forked.h"
#include "tests/support/peeraccount.h"
#include "tests/support/sshbridge.h"
#include "tests/support/svcmgr_fixture.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const std::string Svc = "KelvardSvc";
const std::vector<std::string> PipeNames = {"KvSvcInfo", "KvSvcControl"};

// The user of the process that runs the service program: the launcher's child under a user
// account, the process itself otherwise.
uid_t ProgramUid(pid_t pid) {
    std::ifstream children("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) +
                           "/children");
    pid_t child = 0;
    if (children >> child)
        pid = child;
    struct stat st {};
    return stat(("/proc/" + std::to_string(pid)).c_str(), &st) == 0 ? st.st_uid : ~0U;
}

// What a process of user `uid` meets when it tries to take a pipe name: bind a socket there,
// or rename a file of its own over it. 0 when either succeeded, else the errno.
int TakePipeNameAs(uid_t uid, const std::string& name, const std::string& ownDir) {
    return RunForked([&] {
        if (setresgid(uid, uid, uid) != 0 || setresuid(uid, uid, uid) != 0)
            return 254;
        int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::string path = PipeSocketPath(name);
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
        if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0)
            return 0;
        std::string decoy = ownDir + "/decoy";
        std::ofstream(decoy) << "x";
        if (rename(decoy.c_str(), path.c_str()) == 0)
            return 0;
        return errno;
    });
}

// What user `uid` meets writing to or renaming the program: 0 when either succeeded.
int TouchProgramAs(uid_t uid, const std::string& program) {
    return RunForked([&] {
        if (setresgid(uid, uid, uid) != 0 || setresuid(uid, uid, uid) != 0)
            return 254;
        if (open(program.c_str(), O_WRONLY) >= 0 ||
            rename(program.c_str(), (program + "x").c_str()) == 0)
            return 0;
        return errno;
    });
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

uid_t Owner(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_uid : ~0U;
}

mode_t Mode(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

int SvcMgr(std::vector<std::string> args, const std::string& input, std::string& output) {
    args.insert(args.begin(), "svcmgr");
    std::vector<char*> argv;
    for (auto& arg : args)
        argv.push_back(arg.data());
    std::istringstream in(input);
    std::ostringstream out, err;
    int status = SvcMgrMain(static_cast<int>(argv.size()), argv.data(), out, err, in);
    output = out.str() + err.str();
    return status;
}

class ServiceAccount : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::string why = PeerUnavailableReason({}); !why.empty())
            GTEST_SKIP() << why;
        account_ = &TestPeerAccount();
        // Everything the account must reach lies on a root-owned path that it may traverse.
        base_ = std::make_unique<RootOwnedTempDir>("account");
        fs::create_directories(ProgramDir());
        fs::copy_file(KV_SVC_PROGRAM, Program());
        for (const char* dir : {"/export", "/dest"}) {
            fs::create_directories(base_->Path() + dir);
            ASSERT_EQ(chown((base_->Path() + dir).c_str(), account_->uid, account_->gid), 0);
        }
        TTransportConfig config;
        config.TimeBetweenActions = 3600;
        config.TrackDirectory[0] = base_->Path() + "/export";
        config.Destination[0] = base_->Path() + "/dest";
        config.SaveToFile(ProgramDir() + "/kelvardsvc.ini");
        manager_ = std::make_unique<SvcMgrInstance>();
        TScManager::Open("", SC_MANAGER_ALL_ACCESS)
            .CreateService(Svc, Svc, SERVICE_QUERY_STATUS, Program(), "", "");
    }

    std::string ProgramDir() const { return base_->Path() + "/prog"; }
    std::string Program() const { return ProgramDir() + "/kelvardsvc_w10"; }
    std::string User() const { return ".\\" + account_->user; }
    TScService Open() const {
        return TScManager::Open("", SC_MANAGER_CONNECT).OpenService(Svc, SERVICE_ALL_ACCESS);
    }
    TServiceStatus Status() const { return Open().QueryStatus(); }
    bool Running() const { return Status().CurrentState == SERVICE_RUNNING; }

    // The configuration dialog of `window`, set to COPY with `user` and `password`, then OK;
    // waits until the restart (or its refusal) is over.
    void SendAccount(TMainWnd& window, const std::string& user, const std::string& password) {
        bool done = false;
        WhenModalOpens([&](QDialog* dialog) {
            auto* mode = Child<QComboBox>(dialog, "CbTransferMode");
            mode->setCurrentIndex(mode->findText("COPY"));
            Child<QLineEdit>(dialog, "EdUser")->setText(QString::fromStdString(user));
            Child<QLineEdit>(dialog, "EdPassword")->setText(QString::fromStdString(password));
            Child<QPushButton>(dialog, "BtnOK")->click();
            // A password that the dialog itself refuses leaves it open.
            if (dialog->isVisible())
                dialog->reject();
            done = true;
        });
        Child<QPushButton>(&window, "BtnConfigure")->click();
        ASSERT_TRUE(ProcessEventsUntil([&] { return done; }, 30s));
        ProcessEventsUntil([&] { return Running(); }, 30s);
    }

    const PeerAccount* account_ = nullptr;
    std::unique_ptr<RootOwnedTempDir> base_;
    std::unique_ptr<SvcMgrInstance> manager_;
};

} // namespace

TEST_F(ServiceAccount, KeepsItsPipesFilesAndConsoleAndComesBackToRoot) {
    const uid_t nobody = 65534;
    const std::string attackerDir = base_->Path() + "/attacker";
    fs::create_directories(attackerDir);
    ASSERT_EQ(chown(attackerDir.c_str(), nobody, nobody), 0);
    // Before the service ever ran, nobody else can take its pipe names.
    for (const std::string& name : PipeNames)
        EXPECT_EQ(TakePipeNameAs(nobody, name, attackerDir), EACCES) << name;

    Open().Start();
    ASSERT_TRUE(WaitUntil([&] { return Running(); }));
    TScriptedUi ui;
    auto window = TSvcWndBase::CreateWindow<TMainWnd>(ui, std::vector<std::string>{});
    window->LocalConfigFileName = "kvaccount_test_local.ini";
    window->show();
    ASSERT_TRUE(ProcessEventsUntil(
        [&] { return Child<QPushButton>(window.get(), "BtnConfigure")->isEnabled(); }));

    // COPY under the account: the service runs as that user and keeps everything it serves.
    SendAccount(*window, account_->user, account_->password);
    ASSERT_TRUE(Running()) << (ui.Boxes.empty() ? "" : ui.Boxes.back().Text);
    EXPECT_TRUE(ui.Texts("error").empty()) << ui.Texts("error").front();
    EXPECT_EQ(Open().QueryConfig().ServiceStartName, User());
    const pid_t accountPid = static_cast<pid_t>(Status().ProcessId);
    EXPECT_EQ(ProgramUid(accountPid), account_->uid);
    auto* version = Child<QLabel>(window.get(), "LabVersionVal");
    version->clear();
    EXPECT_TRUE(ProcessEventsUntil([&] { return !version->text().isEmpty(); }))
        << window->StatusText();
    const std::string ini = ProgramDir() + "/kelvardsvc.ini";
    const std::string log = ProgramDir() + "/kelvardsvc.log";
    EXPECT_EQ(Owner(ini), account_->uid);
    EXPECT_EQ(Mode(ini), 0600u);
    EXPECT_TRUE(WaitUntil([&] { return Owner(log) == account_->uid; })) << Owner(log);
    const auto logSize = fs::file_size(log);
    EXPECT_GT(getxattr(ProgramDir().c_str(), "system.posix_acl_access", nullptr, 0), 0);
    EXPECT_NE(Mode(ProgramDir()) & S_ISVTX, 0u);
    // Its pipes and its programs stay out of reach of other users and of the account itself.
    for (const std::string& name : PipeNames) {
        EXPECT_EQ(TakePipeNameAs(nobody, name, attackerDir), EACCES) << name;
        EXPECT_EQ(Owner(PipeSocketPath(name)), 0u) << name;
    }
    for (uid_t user : {nobody, account_->uid})
        EXPECT_NE(TouchProgramAs(user, Program()), 0) << user;
    EXPECT_EQ(Owner(Program()), 0u);

    // A second round trip as that user: fetched, replaced through the service, restarted.
    SendAccount(*window, account_->user, account_->password);
    ASSERT_TRUE(Running());
    EXPECT_NE(static_cast<pid_t>(Status().ProcessId), accountPid);
    EXPECT_EQ(Owner(ini), account_->uid);
    EXPECT_EQ(TIniFile(ini).ReadString("Transport", "Username", ""), User());
    EXPECT_TRUE(WaitUntil([&] { return fs::file_size(log) > logSize; }));
    EXPECT_TRUE(ui.Texts("error").empty()) << ui.Texts("error").front();

    // Another service cannot serve the names this one has used, whatever account it has.
    const std::string testsvcDir = manager_->Root() + "/testsvc";
    fs::create_directories(testsvcDir);
    std::ofstream(testsvcDir + "/Impostor.mode") << "pipe";
    std::ofstream(testsvcDir + "/Impostor.pipe") << PipeNames[0];
    TScManager::Open("", SC_MANAGER_ALL_ACCESS)
        .CreateService("Impostor", "Impostor", SERVICE_QUERY_STATUS, KV_TESTSVC_PROGRAM, "", "");
    TScService impostor =
        TScManager::Open("", SC_MANAGER_CONNECT).OpenService("Impostor", SERVICE_ALL_ACCESS);
    impostor.Start();
    EXPECT_TRUE(WaitUntil([&] {
        return ReadFile(testsvcDir + "/Impostor.log")
                   .find("pipe The pipe name \"KvSvcInfo\" "
                         "belongs to service \"KelvardSvc\"") != std::string::npos;
    })) << ReadFile(testsvcDir + "/Impostor.log");
    impostor.Control(SERVICE_CONTROL_STOP);
    EXPECT_TRUE(WaitUntil([&] { return impostor.QueryStatus().CurrentState == SERVICE_STOPPED; }));
    impostor.Delete();
    version->clear();
    EXPECT_TRUE(ProcessEventsUntil([&] { return !version->text().isEmpty(); }));
    // A wrong password and one with a control character: refused before the stop.
    const pid_t keptPid = static_cast<pid_t>(Status().ProcessId);
    const std::string keptConfig = ReadFile(ini);
    for (const std::string& bad : {account_->password + "x", std::string("pa\x01ss")}) {
        size_t boxes = ui.Boxes.size();
        SendAccount(*window, account_->user, bad);
        ASSERT_EQ(ui.Boxes.size(), boxes + 1);
        EXPECT_NE(ui.Boxes.back().Text.find(account_->user), std::string::npos)
            << ui.Boxes.back().Text;
        EXPECT_EQ(static_cast<pid_t>(Status().ProcessId), keptPid);
        EXPECT_EQ(Open().QueryConfig().ServiceStartName, User());
        EXPECT_EQ(ReadFile(ini), keptConfig); // nothing was sent
    }
    std::string output;
    EXPECT_EQ(SvcMgr({"config", Svc, "account", User()}, "pa\x01ss\n", output), 1);
    EXPECT_NE(output.find("Invalid password"), std::string::npos) << output;
    fs::remove(window->LocalConfigPath());
    window.reset();

    // The bridge on loopback changes the account as the local client does: a wrong password
    // is refused there, before anything changes.
    if (SshBridgeHost::UnavailableReason().empty()) {
        SshBridgeHost host(manager_->Root());
        SetRemotePcOpenInBackground(false); // the command line waits for the login
        std::string pc = std::string("\\\\") + SshBridgeHost::RootAlias;
        EXPECT_EQ(SvcMgr({pc, "config", Svc, "account", ".\\LocalSystem"}, "", output), 0)
            << output;
        EXPECT_EQ(Open().QueryConfig().ServiceStartName, ".\\LocalSystem");
        EXPECT_EQ(SvcMgr({pc, "config", Svc, "account", User()}, "wrong\n", output), 1);
        EXPECT_NE(output.find("1069"), std::string::npos) << output;
        EXPECT_EQ(Open().QueryConfig().ServiceStartName, ".\\LocalSystem");
        EXPECT_EQ(SvcMgr({pc, "config", Svc, "account", User()}, account_->password + "\n", output),
                  0)
            << output;
        EXPECT_EQ(SvcMgr({pc, "config", Svc}, "", output), 0);
        EXPECT_NE(output.find(User()), std::string::npos) << output;
    }

    // The account keeps a second link to the configuration and plants a link at the debug
    // file's name: neither reaches the service once it runs as root again.
    const std::string kept = base_->Path() + "/export/kept.ini";
    const std::string planted = ProgramDir() + "/debug.txt";
    EXPECT_EQ(RunForked([&] {
                  if (setresgid(account_->gid, account_->gid, account_->gid) != 0 ||
                      setresuid(account_->uid, account_->uid, account_->uid) != 0)
                      return 1;
                  return link(ini.c_str(), kept.c_str()) == 0 &&
                                 symlink("/etc/passwd", planted.c_str()) == 0
                             ? 0
                             : 2;
              }),
              0);

    // Back to root from the command line: the files and the directory are root's again.
    ASSERT_EQ(SvcMgr({"config", Svc, "account", ".\\LocalSystem"}, "", output), 0) << output;
    Open().Control(SERVICE_CONTROL_STOP);
    ASSERT_TRUE(WaitUntil([&] { return Status().CurrentState == SERVICE_STOPPED; }));
    Open().Start();
    ASSERT_TRUE(WaitUntil([&] { return Running(); }));
    EXPECT_EQ(ProgramUid(static_cast<pid_t>(Status().ProcessId)), 0u);
    EXPECT_EQ(Owner(ini), 0u);
    EXPECT_EQ(fs::hard_link_count(ini), 1u);
    EXPECT_EQ(ReadFile(ini), ReadFile(kept));
    EXPECT_FALSE(fs::is_symlink(planted));
    EXPECT_TRUE(WaitUntil([&] { return Owner(log) == 0u; }));
    EXPECT_LT(getxattr(ProgramDir().c_str(), "system.posix_acl_access", nullptr, 0), 0);
    EXPECT_EQ(Mode(ProgramDir()) & 020, 0u);
}
