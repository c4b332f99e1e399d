// The console window on another PC's service: a real sshd on 127.0.0.1 with a key-based login
// and a test SSH configuration, `svcmgr bridge` of this build, the real manager and service.
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>
#include <QTimer>
#include <arpa/inet.h>
#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include "common/Comserv.h"
#include "common/inifile.h"
#include "console/framework/basesvc_acess.h"
#include "platform/remotepc.h"
#include "platform/svcmgr/svcmgr_client.h"
#include "tests/console/framework/svcwnd_fixture.h"
#include "tests/console/support/consoletest.h"
#include "tests/support/sshbridge.h"
#include "tests/support/svcmgr_fixture.h"

namespace {

using namespace std::chrono_literals;

// True once process `pid` has ended (a zombie or gone).
bool Ended(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line))
        return true;
    size_t close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z';
}

class RemoteWindow : public SvcWndFixture {
protected:
    void SetUp() override {
        if (std::string why = SshBridgeHost::UnavailableReason(); !why.empty())
            GTEST_SKIP() << why;
        host_ = std::make_unique<SshBridgeHost>(manager_.Root());
        // The window polls from the GUI thread: it never waits for a login.
        SetRemotePcOpenInBackground(true);
    }
    void TearDown() override {
        window_.reset();
        host_.reset();
        SetRemotePcOpenInBackground(false);
    }

    // A window on the service of `pc`, as kept in its settings file.
    TSvcWndBase& Open(const std::string& pc, std::vector<std::string> args = {}) {
        window_.reset();
        WriteTextFile(ProgramDir() + "/" + settings_, "[General]\nRemotePC=" + pc + "\n");
        return OpenWindow(std::move(args), Svc);
    }

    std::unique_ptr<SshBridgeHost> host_;
};

} // namespace

TEST_F(RemoteWindow, WatchesStartsConfiguresAndStopsAnotherPcsServiceOverOneSshProcess) {
    InstallService();
    TSvcWndBase& window = Open(SshBridgeHost::RootAlias, {"/TIME:120"});
    EXPECT_EQ(Text("StPcDisplayName"), SshBridgeHost::RootAlias);
    ASSERT_TRUE(StatusBecomes("Service stopped")) << window.StatusText();

    QTest::mouseClick(W<QPushButton>("BtnSrvStart"), Qt::LeftButton);
    EXPECT_TRUE(ui_.Boxes.empty()) << ui_.Boxes.front().Text;
    EXPECT_EQ(State(), SERVICE_RUNNING);
    ASSERT_TRUE(ProcessEventsUntil([&] { return Text("LabVersionVal") == "3.1.4"; }, 15s));
    EXPECT_EQ(window.StatusText(), "");
    EXPECT_TRUE(W<QPushButton>("BtnConfigure")->isEnabled());

    // The configuration goes back and forth over the bridge and the service restarts on it.
    const uint32_t firstPid = Service().QueryStatus().ProcessId;
    WhenModalOpens([](QDialog* dialog) {
        Child<QSpinBox>(dialog, "SeFreq")->setValue(77);
        Child<QPushButton>(dialog, "BtnOK")->click();
    });
    QTest::mouseClick(W<QPushButton>("BtnConfigure"), Qt::LeftButton);
    EXPECT_TRUE(ui_.Boxes.empty()) << ui_.Boxes.front().Text;
    EXPECT_EQ(TIniFile(ServiceIni()).ReadInteger("General", "TimeBetweenActions", 0), 120);
    EXPECT_EQ(TIniFile(ServiceIni()).ReadString("Directory0", "TrackDirectory", ""), "/nowhere");
    EXPECT_EQ(State(), SERVICE_RUNNING);
    EXPECT_NE(Service().QueryStatus().ProcessId, firstPid);

    // A hundred ticks (state and statistics each) use the one ssh process and login.
    pid_t ssh = RemotePcProcessId(SshBridgeHost::RootAlias);
    ASSERT_GT(ssh, 0);
    for (int tick = 0; tick < 100; ++tick)
        window.TmrMainTimer();
    EXPECT_EQ(window.StatusText(), "");
    EXPECT_EQ(RemotePcProcessId(SshBridgeHost::RootAlias), ssh);
    EXPECT_EQ(host_->CountLogLines("Accepted publickey for root"), 1);

    // ssh killed between two ticks: the next tick starts a new connection, a later one shows
    // it all.
    ::kill(ssh, SIGKILL);
    ASSERT_TRUE(WaitUntil([&] { return Ended(ssh); }));
    window.SetStatusText("before");
    window.TmrMainTimer();
    EXPECT_NE(window.StatusText().find("is being opened"), std::string::npos)
        << window.StatusText();
    ASSERT_TRUE(ProcessEventsUntil([&] { return window.IsRunning(); }, 15s));
    ASSERT_TRUE(StatusBecomes(""));
    EXPECT_NE(RemotePcProcessId(SshBridgeHost::RootAlias), ssh);
    EXPECT_EQ(host_->CountLogLines("Accepted publickey for root"), 2);

    QTest::mouseClick(W<QPushButton>("BtnSrvStop"), Qt::LeftButton);
    EXPECT_EQ(State(), SERVICE_STOPPED);
    EXPECT_EQ(window.StatusText(), "Service stopped");
    EXPECT_EQ(ui_.HourglassDepth, 0);
}

TEST_F(RemoteWindow, LoginUserWithoutRootWatchesButNeitherControlsNorConfigures) {
    InstallService();
    Service().Start();
    ASSERT_TRUE(WaitUntil([&] { return State() == SERVICE_RUNNING; }));
    TSvcWndBase& window = Open(SshBridgeHost::UserAlias);
    ASSERT_TRUE(ProcessEventsUntil([&] { return Text("LabVersionVal") == "3.1.4"; }, 15s))
        << window.StatusText();
    EXPECT_TRUE(window.IsRunning());

    QTest::mouseClick(W<QPushButton>("BtnSrvStop"), Qt::LeftButton);
    ASSERT_EQ(ui_.Boxes.size(), 1u);
    EXPECT_NE(ui_.Boxes.back().Text.find("Permission denied"), std::string::npos)
        << ui_.Boxes.back().Text;
    EXPECT_EQ(State(), SERVICE_RUNNING);

    // The control pipe (configuration with its passwords) is root's only.
    ui_.Boxes.clear();
    QTest::mouseClick(W<QPushButton>("BtnConfigure"), Qt::LeftButton);
    ASSERT_EQ(ui_.Boxes.size(), 1u);
    EXPECT_NE(ui_.Boxes.back().Text.find("Permission denied"), std::string::npos)
        << ui_.Boxes.back().Text;
    EXPECT_EQ(ReadTextFile(ServiceIni()), BaseIni);

    Service().Control(SERVICE_CONTROL_STOP);
    ASSERT_TRUE(StatusBecomes("Service stopped"));
    ui_.Boxes.clear();
    QTest::mouseClick(W<QPushButton>("BtnSrvStart"), Qt::LeftButton);
    ASSERT_EQ(ui_.Boxes.size(), 1u);
    EXPECT_NE(ui_.Boxes.back().Text.find("Permission denied"), std::string::npos);
    EXPECT_EQ(State(), SERVICE_STOPPED);
}

TEST_F(RemoteWindow, WrongHostKeyAndRefusedKeyShowSshsMessageAndAreRetriedSparingly) {
    InstallService();
    const struct {
        const char* Alias;
        const char* SshMessage;
    } cases[] = {{SshBridgeHost::WrongHostKeyAlias, "Host key verification failed."},
                 {SshBridgeHost::RefusedKeyAlias, "Permission denied (publickey)."}};
    for (const auto& c : cases) {
        int connectionsBefore = host_->CountLogLines("Connection from 127.0.0.1");
        TSvcWndBase& window = Open(c.Alias);
        const std::string prefix = std::string("Service Control Manager erreur sur ") + c.Alias +
                                   ": The network path was not found: " + c.Alias + ": ";
        ASSERT_TRUE(
            ProcessEventsUntil([&] { return window.StatusText().rfind(prefix, 0) == 0; }, 15s))
            << window.StatusText();
        EXPECT_NE(window.StatusText().find(c.SshMessage), std::string::npos) << window.StatusText();
        for (const char* button : {"BtnSrvStart", "BtnSrvStop", "BtnConfigure"})
            EXPECT_FALSE(W<QPushButton>(button)->isEnabled()) << button;
        // Six ticks later the PC has not been tried again.
        ProcessEventsFor(3s);
        EXPECT_EQ(host_->CountLogLines("Connection from 127.0.0.1"), connectionsBefore + 1);
        EXPECT_EQ(window.StatusText().rfind(prefix, 0), 0u);
        EXPECT_EQ(RemotePcProcessId(c.Alias), -1);
    }
}

TEST_F(RemoteWindow, PcThatNeverAnswersTheLoginLeavesTheWindowResponsive) {
    // A PC whose TCP connection is accepted (by the kernel) and never answered.
    int stall = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(stall, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(stall, 4), 0);
    ::getsockname(stall, reinterpret_cast<sockaddr*>(&address), &length);
    TempDir dir;
    WriteTextFile(dir.File("ssh_config"), "Host stallpc\n  HostName 127.0.0.1\n  Port " +
                                              std::to_string(ntohs(address.sin_port)) + "\n" +
                                              ReadTextFile(host_->ConfigPath()));
    setenv("SVCMGR_SSH_CONFIG", dir.File("ssh_config").c_str(), 1);

    // Past the window's own pause after an error: the PC is asked twice in that time.
    TSvcWndBase& window = Open("stallpc");
    EXPECT_LT(LongestHold(6s), 300ms);
    EXPECT_EQ(window.StatusText(), "Service Control Manager erreur sur stallpc: The network path "
                                   "was not found: the connection to stallpc is being opened");
    window_.reset();
    CloseRemotePcConnections();
    setenv("SVCMGR_SSH_CONFIG", host_->ConfigPath().c_str(), 1);
    ::close(stall);
}
