// A small service program for the service manager's tests, linked with the service
// application framework. Its name comes from the manager (SVCMGR_SERVICE_NAME) or, for the
// install switches, from TESTSVC_NAME (TESTSVC_FORCE_NAME overrides both). It reads its behaviour
// from $SVCMGR_ROOT/testsvc/<name>.mode (words, see below) and appends one line per event to
// $SVCMGR_ROOT/testsvc/<name>.log.
//
//   startfalse  OnStart leaves Started False
//   slowstart   OnStart reports four more start-pending checkpoints, 250 ms apart
//   stuck       OnStart waits for <name>.release without reporting (checkpoint stays)
//   slowstop    OnStop reports three more stop-pending checkpoints, 150 ms apart
//   noexecute   no OnExecute handler: the framework processes requests itself
//   jobprocess  the job lets the framework process requests between its steps
//   describe    OnStart also logs where fds 1 and 2 lead ("fd1=...", "fd2=...") and each
//               variable of its environment ("env NAME=VALUE")
//   daemon      OnStart first starts `sleep 300` in a session of its own, left by its parent as
//               a daemon is, and logs "daemon <pid>"
//   pipe        OnStart creates the pipe named in <name>.pipe and logs "pipe ok" or
//               "pipe <error text>"
// <name>.force, when it exists, holds the name the program takes whatever the manager says
// (the program of another service).
// A job runs when <name>.job exists (the file is removed); it takes 50 steps of 20 ms and
// checks for a pending control request at each step.
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "platform/namedpipe.h"
#include "platform/svcapp.h"

extern char** environ;

namespace {

std::string TestDir() {
    const char* root = std::getenv("SVCMGR_ROOT");
    return std::string(root && *root ? root : "/tmp") + "/testsvc";
}

bool Exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

void Pause(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

class TTestService : public TService {
public:
    TTestService();
    TServiceController GetServiceController() override;

private:
    void Log(const std::string& line) {
        std::ofstream(base_ + ".log", std::ios::app) << line << std::endl;
    }
    bool Has(const std::string& word) const {
        return (" " + mode_ + " ").find(" " + word + " ") != std::string::npos;
    }
    std::string ThreadTag() const {
        return std::this_thread::get_id() == ServiceThread()->ThreadID() ? "service-thread"
                                                                         : "other-thread";
    }
    bool CancelRequested();
    void RunJob();
    void ServiceStart(TService* Sender, bool& Started);
    void ServiceStop(TService* Sender, bool& Stopped);
    void ServiceShutdown(TService* Sender);
    void ServiceExecute(TService* Sender);

    std::string base_;
    std::string mode_;
    bool interrogationSeen_ = false;
};

TTestService* TestService = nullptr;

// Starts `sleep 300` as a daemon: in a new session, its parent gone at once. Returns its pid.
pid_t StartDaemon() {
    int fds[2];
    if (pipe(fds) != 0)
        return -1;
    pid_t middle = fork();
    if (middle == 0) {
        pid_t daemon = fork();
        if (daemon == 0) {
            setsid();
            execlp("sleep", "sleep", "300", static_cast<char*>(nullptr));
            _exit(127);
        }
        ssize_t ignored = write(fds[1], &daemon, sizeof daemon);
        (void)ignored;
        _exit(0);
    }
    close(fds[1]);
    pid_t daemon = -1;
    if (middle < 0 || read(fds[0], &daemon, sizeof daemon) != sizeof daemon)
        daemon = -1;
    close(fds[0]);
    if (middle > 0)
        waitpid(middle, nullptr, 0);
    return daemon;
}

void ServiceController(uint32_t CtrlCode) {
    TestService->Controller(CtrlCode);
}

TTestService::TTestService() {
    const char* fromManager = std::getenv("SVCMGR_SERVICE_NAME");
    const char* fromTest = std::getenv("TESTSVC_NAME");
    const char* forced = std::getenv("TESTSVC_FORCE_NAME"); // a program of another service
    Name = forced ? forced : (fromManager ? fromManager : (fromTest ? fromTest : "TestSvc"));
    std::ifstream forceFile(TestDir() + "/" + Name + ".force");
    std::string forcedByFile;
    if (std::getline(forceFile, forcedByFile) && !forcedByFile.empty())
        Name = forcedByFile;
    DisplayName = "Test service " + Name;
    base_ = TestDir() + "/" + Name;
    std::ifstream modeFile(base_ + ".mode");
    std::ostringstream words;
    words << modeFile.rdbuf();
    mode_ = words.str();
    for (char& c : mode_)
        if (c == '\n' || c == '\t')
            c = ' ';
    OnStart = [this](TService* s, bool& started) { ServiceStart(s, started); };
    OnStop = [this](TService* s, bool& stopped) { ServiceStop(s, stopped); };
    OnShutdown = [this](TService* s) { ServiceShutdown(s); };
    if (!Has("noexecute"))
        OnExecute = [this](TService* s) { ServiceExecute(s); };
}

TServiceController TTestService::GetServiceController() {
    return ServiceController;
}

void TTestService::ServiceStart(TService*, bool& Started) {
    Log("start uid=" + std::to_string(getuid()) + " " + ThreadTag());
    if (Has("describe")) {
        for (int fd : {1, 2}) {
            char target[512] = {};
            std::string link = "/proc/self/fd/" + std::to_string(fd);
            ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
            Log("fd" + std::to_string(fd) + "=" + (length > 0 ? target : "closed"));
        }
        for (char** e = environ; *e; ++e)
            Log(std::string("env ") + *e);
    }
    if (Has("daemon"))
        Log("daemon " + std::to_string(StartDaemon()));
    if (Has("pipe")) {
        std::string name;
        std::getline(std::ifstream(base_ + ".pipe"), name);
        try {
            TNamedPipeServer pipe(name, 1, PipeModeEveryone);
            Log("pipe ok");
        } catch (const std::exception& e) {
            Log(std::string("pipe ") + e.what());
        }
    }
    if (Has("slowstart")) {
        for (int i = 0; i < 4; ++i) {
            Pause(250);
            ReportStatus();
        }
    }
    if (Has("stuck")) {
        for (int i = 0; i < 1000 && !Exists(base_ + ".release"); ++i)
            Pause(20);
    }
    if (Has("startfalse"))
        Started = false;
}

void TTestService::ServiceStop(TService*, bool&) {
    Log("stop " + ThreadTag());
    if (Has("slowstop")) {
        for (int i = 0; i < 3; ++i) {
            Pause(150);
            ReportStatus();
        }
    }
}

void TTestService::ServiceShutdown(TService*) {
    Log("shutdown " + ThreadTag());
}

bool TTestService::CancelRequested() {
    if (ServiceThread()->Terminated())
        return true;
    uint32_t code = 0;
    if (!ServiceThread()->PeekFirstRequest(code))
        return false;
    if (code == SERVICE_CONTROL_INTERROGATE) {
        ReportStatus();
        if (!interrogationSeen_)
            Log("peek-interrogate");
        interrogationSeen_ = true;
        return false;
    }
    return true;
}

void TTestService::RunJob() {
    Log("job-begin");
    interrogationSeen_ = false;
    for (int step = 0; step < 50; ++step) {
        Pause(20);
        if (Has("jobprocess")) {
            ServiceThread()->ProcessRequests(false);
            if (ServiceThread()->Terminated()) {
                Log("job-terminated");
                break;
            }
        } else if (CancelRequested()) {
            Log("cancel");
            break;
        }
    }
    Log("job-end");
}

void TTestService::ServiceExecute(TService*) {
    Log("execute " + ThreadTag());
    while (!ServiceThread()->Terminated()) {
        if (Exists(base_ + ".job")) {
            unlink((base_ + ".job").c_str());
            RunJob();
        } else {
            Pause(20);
        }
        ServiceThread()->ProcessRequests(false);
    }
    Log("execute-end");
}

} // namespace

int main(int argc, char** argv) {
    TServiceApplication Application(argc, argv);
    Application.Initialize();
    Application.CreateForm(TestService);
    return Application.Run();
}
