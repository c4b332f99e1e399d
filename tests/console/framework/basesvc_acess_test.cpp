// The console window on the real service manager, with a service program built on the
// file-tracking framework and its real pipes, driven through its real widgets offscreen.
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>
#include <QTimer>
#include <csignal>
#include <cstring>
#include <gtest/gtest.h>
#include <regex>
#include <sys/stat.h>
#include <thread>

#include "common/Comserv.h"
#include "common/inifile.h"
#include "console/framework/basesvc_acess.h"
#include "platform/svcmgr/svcmgr_client.h"
#include "service/framework/srvpipe.h"
#include "tests/console/framework/svcwnd_fixture.h"
#include "tests/console/support/consoletest.h"
#include "tests/support/forked.h"
#include "tests/support/servicepipecall.h"
#include "tests/support/svcmgr_fixture.h"

namespace {

using namespace std::chrono_literals;

// A pipe that answers every request with the bytes a test gives it.
class CannedPipe : public TPipeServer {
public:
    explicit CannedPipe(const std::string& name) : TPipeServer(name, 1, PipeModeEveryone) {
        Start();
    }
    ~CannedPipe() override { Destroy(); }
    void ProcessRequest(const uint8_t*, uint32_t, uint8_t* answer, int32_t, uint32_t& length,
                        bool& useDefault) override {
        std::lock_guard lock(mutex_);
        useDefault = false;
        std::memcpy(answer, answer_.data(), answer_.size());
        length = static_cast<uint32_t>(answer_.size());
    }
    void Answer(std::vector<uint8_t> bytes) {
        std::lock_guard lock(mutex_);
        answer_ = std::move(bytes);
    }

private:
    std::mutex mutex_;
    std::vector<uint8_t> answer_;
};

std::vector<uint8_t> Message(const char* command, int32_t status, int32_t length, size_t size) {
    std::vector<uint8_t> bytes(size, 'x');
    TPipeMessageHeader header{};
    std::strncpy(header.Command, command, sizeof header.Command - 1);
    header.Status = status;
    header.PayloadLength = length;
    std::memcpy(bytes.data(), &header, std::min(size, sizeof header));
    return bytes;
}

class ConsoleWindow : public SvcWndFixture {
protected:
    TSvcWndBase& Open(std::vector<std::string> args = {}, const std::string& service = Svc) {
        return OpenWindow(std::move(args), service);
    }
};

} // namespace

TEST_F(ConsoleWindow, PollsStartsShowsStatisticsAndStops) {
    InstallService(BaseIni);
    TSvcWndBase& window = Open();
    EXPECT_EQ(Text("StPcDisplayName"), "cet PC");
    EXPECT_EQ(Text("LabConns"), "Connections avec succès:");
    // A missing settings file is created at once.
    EXPECT_TRUE(FileExists(window.SettingsPath()));

    ASSERT_TRUE(StatusBecomes("Service stopped"));
    EXPECT_TRUE(Enabled("BtnSrvStart"));
    EXPECT_FALSE(Enabled("BtnSrvStop"));
    EXPECT_FALSE(Enabled("BtnConfigure"));

    QTest::mouseClick(W<QPushButton>("BtnSrvStart"), Qt::LeftButton);
    EXPECT_EQ(State(), SERVICE_RUNNING);
    EXPECT_EQ(ui_.HourglassShown, 1);
    EXPECT_EQ(ui_.HourglassDepth, 0);
    EXPECT_TRUE(ui_.Boxes.empty());

    // While it runs, each tick shows its statistics and leaves the status text empty.
    ASSERT_TRUE(ProcessEventsUntil([&] { return !Text("LabNextFileCheckAtVal").empty(); }));
    EXPECT_EQ(window.StatusText(), "");
    EXPECT_EQ(Text("LabVersionVal"), "3.1.4");
    EXPECT_TRUE(
        std::regex_match(Text("LabSartedVal"), std::regex(R"(\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d)")));
    EXPECT_TRUE(std::regex_match(Text("LabReqVal"), std::regex(R"( {11}\d|  +\d+)")));
    EXPECT_EQ(Text("LabReqVal").size(), 12u);
    EXPECT_TRUE(
        std::regex_search(Text("LabNextFileCheckAtVal"), std::regex(R"( \(dans \d+ sec\)$)")));
    EXPECT_FALSE(Enabled("BtnSrvStart"));
    EXPECT_TRUE(Enabled("BtnSrvStop"));
    EXPECT_TRUE(Enabled("BtnConfigure"));

    // Started elsewhere meanwhile: the start is refused with a box, nothing else happens.
    window.BtnSrvStartClick();
    EXPECT_EQ(ui_.Texts("information"),
              std::vector<std::string>{"The service is running already on cet PC"});

    QTest::mouseClick(W<QPushButton>("BtnSrvStop"), Qt::LeftButton);
    EXPECT_EQ(State(), SERVICE_STOPPED);
    EXPECT_EQ(window.StatusText(), "Service stopped");
    EXPECT_EQ(Text("LabNextFileCheckAtVal"), "");
    EXPECT_EQ(Text("LabVersionVal"), "3.1.4"); // kept until another PC is chosen

    window.close();
    window_.reset();
    TIniFile settings(ProgramDir() + "/" + settings_);
    EXPECT_TRUE(settings.ValueExists("General", "RemotePC"));
    EXPECT_EQ(settings.ReadString("General", "RemotePC", "?"), "");
}

TEST_F(ConsoleWindow, UnreachablePcAndMissingServiceLeaveEveryButtonDisabled) {
    WriteTextFile(ProgramDir() + "/" + settings_, "[General]\nRemotePC=nosuchpc\n");
    TSvcWndBase& window = Open({}, "NoSuchSvc");
    EXPECT_EQ(Text("StPcDisplayName"), "nosuchpc");
    ASSERT_TRUE(ProcessEventsUntil([&] {
        return window.StatusText().rfind("Service Control Manager erreur sur nosuchpc: ", 0) == 0;
    }));
    EXPECT_GT(window.StatusText().size(), strlen("Service Control Manager erreur sur nosuchpc: "));

    // Back to this PC through the PC dialog: an empty name.
    WhenModalOpens([](QDialog* dialog) {
        Child<QLineEdit>(dialog, "EdPc")->clear();
        Child<QPushButton>(dialog, "BtnOK")->click();
    });
    QTest::mouseClick(W<QPushButton>("BtnPC"), Qt::LeftButton);
    EXPECT_EQ(Text("StPcDisplayName"), "cet PC");
    ASSERT_TRUE(ProcessEventsUntil([&] {
        return window.StatusText().rfind("accès au service est absent sur cet PC: ", 0) == 0;
    }));
    for (const char* button : {"BtnSrvStart", "BtnSrvStop", "BtnConfigure"})
        EXPECT_FALSE(Enabled(button)) << button;
    window_.reset();
    EXPECT_EQ(TIniFile(ProgramDir() + "/" + settings_).ReadString("General", "RemotePC", "?"), "");
}

TEST_F(ConsoleWindow, AnswersAreCheckedBeforeTheyAreShownOrWritten) {
    TSvcWndBase& window = Open({}, "Canned");
    CannedPipe info("CannedInfo");
    CannedPipe control("CannedControl");
    ProcessEventsFor(100ms);

    // Statistics: 594 bytes are one short; 595 are shown.
    info.Answer(Message("ANSGETSTATS", 0, 0, 594));
    window.QueryStatistics();
    EXPECT_EQ(window.StatusText(), "Length error");
    std::vector<uint8_t> stats = Message("ANSGETSTATS", 0, 567, 595);
    TPipeStatistics counters{};
    counters.Connections = 1234567;
    TServiceStateRecord state{};
    state.VersionMajor = 1, state.VersionMinor = 12, state.VersionRelease = 0;
    state.FilesOk = 3, state.ElapsedMs = 3723004;
    state.ReportTime.wYear = 2026, state.ReportTime.wMonth = 3, state.ReportTime.wDay = 4;
    state.NextActionTime = DateTimeToSystemTime(Now() + 40.5 / 86400);
    std::strcpy(state.LastOkFile, "SHOP1/caisse/a.txt");
    std::memcpy(stats.data() + 28, &counters, sizeof counters);
    std::memcpy(stats.data() + 84, &state, sizeof state);
    info.Answer(stats);
    window.QueryStatistics();
    EXPECT_EQ(window.StatusText(), "");
    EXPECT_EQ(Text("LabConnsVal"), "     1234567");
    EXPECT_EQ(Text("LabVersionVal"), "1.12.0");
    EXPECT_EQ(Text("LabLastGroupVal"),
              "traité sans erreurs - 3, avec les erreurs - 0, en 1:02:03:004");
    EXPECT_EQ(Text("LabLastGroupAtVal"), "04.03.2026 00:00:00");
    EXPECT_TRUE(
        std::regex_search(Text("LabNextFileCheckAtVal"), std::regex(R"( \(dans 40 sec\)$)")))
        << Text("LabNextFileCheckAtVal");
    // An empty file text keeps the file shown; another command changes nothing.
    std::memset(stats.data() + 84 + offsetof(TServiceStateRecord, LastOkFile), 0, 65);
    info.Answer(stats);
    window.QueryStatistics();
    EXPECT_EQ(Text("LabLastFileOkVal"), "SHOP1/caisse/a.txt");
    window.SetStatusText("kept");
    info.Answer(Message("ANSREQUNKNOWN", 0, 0, 28));
    window.QueryStatistics();
    EXPECT_EQ(window.StatusText(), "kept");

    // Configuration: the announced length decides what is written; too long is refused; a
    // cut file (status 1) and another answer open nothing.
    auto failure = [&] {
        try {
            window.RequestConfiguration();
        } catch (const std::exception& e) {
            return std::string(e.what());
        }
        return std::string();
    };
    control.Answer(Message("ANSGETCONFIG", 0, 100, 148));
    EXPECT_EQ(failure(), "");
    EXPECT_EQ(ReadTextFile(window.LocalConfigPath()), std::string(100, 'x'));
    struct stat st {};
    ASSERT_EQ(stat(window.LocalConfigPath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    control.Answer(Message("ANSGETCONFIG", 0, 200, 148));
    EXPECT_EQ(failure(), "Length error");
    control.Answer(Message("ANSGETCONFIG", 0, -1, 148));
    EXPECT_EQ(failure(), "Length error");
    control.Answer(Message("ANSGETCONFIG", 0, 0, 20));
    EXPECT_EQ(failure(), "Length error");
    control.Answer(Message("ANSGETCONFIG", 1, 16356, 16384));
    EXPECT_NE(failure().find("larger than 16356 bytes"), std::string::npos);
    control.Answer(Message("ANSREQUNKNOWN", 0, 0, 28));
    EXPECT_EQ(failure(), "Wrong quittance from Tallix Service");
    EXPECT_EQ(ReadTextFile(window.LocalConfigPath()), std::string(100, 'x'));

    // Sending: a refused write (status 2) is a failure; a working copy over 16356 bytes is
    // not sent at all.
    control.Answer(Message("ANSSETCONFIG", 2, 0, 28));
    EXPECT_FALSE(window.SendConfiguration());
    EXPECT_EQ(ui_.Texts("error").back(), "Wrong quittance from Tallix Service");
    WriteTextFile(window.LocalConfigPath(), std::string(16357, 'y'));
    control.Answer(Message("ANSSETCONFIG", 0, 0, 28));
    EXPECT_FALSE(window.SendConfiguration());
    EXPECT_EQ(ui_.Texts("error").back(),
              "The configuration is 16357 bytes long; at most 16356 bytes can be sent to the "
              "service.");
    WriteTextFile(window.LocalConfigPath(), std::string(16356, 'y'));
    EXPECT_TRUE(window.SendConfiguration());
}

TEST_F(ConsoleWindow, ConfigurationIsFetchedEditedSentAndTheServiceRestarted) {
    InstallService(BaseIni);
    StartDirectly();
    TSvcWndBase& window = Open({"/TIME:120"});
    ASSERT_TRUE(ProcessEventsUntil([&] { return window.IsRunning(); }));
    const uint32_t firstPid = Service().QueryStatus().ProcessId;

    // Cancel: nothing is sent, nothing restarted.
    WhenModalOpens([](QDialog* dialog) {
        Child<QSpinBox>(dialog, "SeFreq")->setValue(77);
        Child<QPushButton>(dialog, "BtnCancel")->click();
    });
    QTest::mouseClick(W<QPushButton>("BtnConfigure"), Qt::LeftButton);
    EXPECT_EQ(ReadTextFile(ServiceIni()), BaseIni);
    EXPECT_EQ(Service().QueryStatus().ProcessId, firstPid);

    // OK: the file goes back with the period of /TIME:, and the service runs again on it.
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
    EXPECT_EQ(window.StatusText(), "Service is running");
    EXPECT_EQ(ui_.HourglassDepth, 0);

    // Stopped while the dialog is open: the send fails and is shown, then the question;
    // No leaves the service stopped, Yes starts it.
    for (bool answer : {false, true}) {
        // Running, and its control pipe served (the pipe threads start with the service).
        PipeAnswer ready;
        ASSERT_TRUE(ProcessEventsUntil([&] {
            return window.IsRunning() &&
                   TryCallServicePipe(Svc + "Control", CmdReqGetConfig, "", ready);
        }));
        ui_.Boxes.clear();
        ui_.Answers = {answer};
        WhenModalOpens([this](QDialog* dialog) {
            Service().Control(SERVICE_CONTROL_STOP);
            ASSERT_TRUE(WaitUntil([&] { return State() == SERVICE_STOPPED; }));
            Child<QPushButton>(dialog, "BtnOK")->click();
        });
        QTest::mouseClick(W<QPushButton>("BtnConfigure"), Qt::LeftButton);
        ASSERT_EQ(ui_.Boxes.size(), 2u);
        EXPECT_EQ(ui_.Boxes[0].Kind, "error");
        EXPECT_EQ(ui_.Boxes[1].Text,
                  "Service n'est pas travailler.\rVulez vous demarrer maintenant?");
        EXPECT_EQ(State(), answer ? SERVICE_RUNNING : SERVICE_STOPPED);
        if (!answer)
            StartDirectly();
    }
}

TEST_F(ConsoleWindow, AUserWithoutTheRightsIsRefusedBeforeTheServiceStops) {
    InstallService(BaseIni);
    StartDirectly();
    TSvcWndBase& window = Open();
    ASSERT_TRUE(ProcessEventsUntil([&] { return window.IsRunning(); }));
    int result = RunForked([&] {
        if (!DropRootRights())
            return 10;
        try {
            window.ApplyServiceConfig();
        } catch (const std::exception& e) {
            return std::string(e.what()).rfind("System Error.  Code: 13.\r\n", 0) == 0 ? 0 : 11;
        }
        return 12;
    });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(State(), SERVICE_RUNNING);
}

namespace {

// SIGSTOP for `pid` while it lives, SIGCONT at its end whatever the test found. A process that
// leads its group (a service's launcher) is stopped with its whole group, the program included.
class Frozen {
public:
    explicit Frozen(pid_t pid) : pid_(::getpgid(pid) == pid ? -pid : pid) { ::kill(pid_, SIGSTOP); }
    ~Frozen() { ::kill(pid_, SIGCONT); }
    Frozen(const Frozen&) = delete;
    Frozen& operator=(const Frozen&) = delete;

private:
    pid_t pid_;
};

// A pipe that admits its clients and answers none of them.
class SilentPipe : public TPipeServer {
public:
    explicit SilentPipe(const std::string& name) : TPipeServer(name, 1, PipeModeEveryone) {
        Start();
    }
    ~SilentPipe() override { Destroy(); }
    void ProcessRequest(const uint8_t*, uint32_t, uint8_t*, int32_t, uint32_t&, bool&) override {
        std::this_thread::sleep_for(1s);
        throw std::runtime_error("no answer");
    }
};

} // namespace

TEST_F(ConsoleWindow, AServiceOrManagerThatNeverAnswersNeverHoldsTheWindow) {
    InstallService(BaseIni);
    StartDirectly();
    TSvcWndBase& window = Open();
    ASSERT_TRUE(ProcessEventsUntil([&] { return Text("LabVersionVal") == "3.1.4"; }));
    std::string requests;
    {
        // Stopped, the service admits no connection to its information pipe.
        Frozen service(Service().QueryStatus().ProcessId);
        EXPECT_LT(LongestHold(4s), 300ms);
        EXPECT_EQ(window.StatusText(), "Connection timed out");
        EXPECT_TRUE(window.IsRunning());
        requests = Text("LabReqVal");
    }
    ASSERT_TRUE(ProcessEventsUntil([&] { return Text("LabReqVal") != requests; }, 10s));
    EXPECT_EQ(window.StatusText(), "");
    {
        // A pipe that takes the request and never answers.
        SilentPipe silent("SilentInfo");
        window.InfoPipeName = "SilentInfo";
        EXPECT_LT(LongestHold(2s), 300ms);
        EXPECT_EQ(window.StatusText(), "Connection timed out");
        window.InfoPipeName = Svc + "Info";
    }
    ASSERT_TRUE(StatusBecomes("", 10s));
    {
        // The manager stopped: the state query gives way in the same time.
        Frozen manager(manager_.Pid());
        EXPECT_LT(LongestHold(3s), 300ms);
        EXPECT_EQ(window.StatusText().rfind("accès au service est absent sur cet PC: ", 0), 0u)
            << window.StatusText();
        EXPECT_FALSE(window.IsRunning());
    }
    ASSERT_TRUE(StatusBecomes("", 10s));
    EXPECT_TRUE(window.IsRunning());
}
