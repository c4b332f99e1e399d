// The service application framework that a service program links. The program creates its
// service object through the application and runs it:
//
//     TServiceApplication Application(argc, argv);
//     Application.Initialize();
//     Application.CreateForm(MyService); // MyService: a global TMyService*
//     return Application.Run();
//
// Run() handles the switches -INSTALL (registers the service with its StartType, automatic by
// default), -UNINSTALL and -SILENT (also with "/", in any letter case); otherwise it runs the
// service that the manager started, talking to the manager over the private channel that the
// manager passes (SVCMGR_CHANNEL_FD).
//
// Life of a running service, all on its service thread: status start pending (wait hint
// `WaitHint`, a new checkpoint at every status report), OnStart; when that leaves Started
// True, status running and OnExecute (without an OnExecute handler the thread just processes
// requests until it is stopped). Control codes from the manager arrive as requests in the
// service thread's queue (at most one interrogation among them; stop and shutdown go before
// it). Processing a stop request sets stop pending and runs OnStop; when
// Stopped stays True the service thread is terminated. A shutdown request (also sent when
// the manager goes away) sets stop pending, runs OnShutdown and terminates the thread. An
// interrogation reports the status. When the service thread ends, the service reports
// stopped and the program ends.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/eventlog.h"
#include "platform/svcmgr/svcmgr_types.h"

enum TCurrentStatus : uint32_t {
    csStopped = SERVICE_STOPPED,
    csStartPending = SERVICE_START_PENDING,
    csStopPending = SERVICE_STOP_PENDING,
    csRunning = SERVICE_RUNNING,
    csContinuePending = SERVICE_CONTINUE_PENDING,
    csPausePending = SERVICE_PAUSE_PENDING,
    csPaused = SERVICE_PAUSED,
};

class TService;
class TServiceChannel;

// The service control handler: hands a control code to the service object's Controller.
using TServiceController = void (*)(uint32_t CtrlCode);
using TStartEvent = std::function<void(TService* Sender, bool& Started)>;
using TStopEvent = std::function<void(TService* Sender, bool& Stopped)>;
using TServiceEvent = std::function<void(TService* Sender)>;

// The thread that runs the service's life cycle, with its queue of control requests.
class TServiceThread {
public:
    explicit TServiceThread(TService& service);
    ~TServiceThread();
    TServiceThread(const TServiceThread&) = delete;
    TServiceThread& operator=(const TServiceThread&) = delete;

    // Set once a stop or shutdown has been processed; the service's loop ends on it.
    bool Terminated() const { return terminated_.load(); }
    void Terminate();

    // Processes the queued control requests on the calling (service) thread. With
    // WaitForMessage false it returns as soon as the queue is empty; with true it waits for
    // requests until the thread is terminated.
    void ProcessRequests(bool WaitForMessage);
    // The first queued control code, left in the queue; false when the queue is empty.
    bool PeekFirstRequest(uint32_t& CtrlCode) const;
    // Whether `CtrlCode` waits anywhere in the queue (a stop queued behind an interrogation
    // that any user may send counts too).
    bool IsQueued(uint32_t CtrlCode) const;
    // Queues a control code (from the control dispatcher). A stop or shutdown goes before a
    // waiting interrogation; at most one interrogation waits, a further one is answered at once
    // with a status report.
    void PostRequest(uint32_t CtrlCode);

    // The service thread's id; the thread itself sees it from its first instruction on.
    std::thread::id ThreadID() const { return threadId_.load(); }

private:
    friend class TService;
    void Start(std::function<void()> finished);
    void WaitFor();
    void Execute();
    void Dispatch(uint32_t CtrlCode);

    TService& service_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<uint32_t> queue_;
    std::atomic<bool> terminated_{false};
    // Kept apart from thread_, which the starting thread assigns only once the new thread may
    // already run its start handler.
    std::atomic<std::thread::id> threadId_{};
    std::thread thread_;
};

// Base of a service object.
class TService {
public:
    TService();
    virtual ~TService();
    TService(const TService&) = delete;
    TService& operator=(const TService&) = delete;

    std::string Name;        // service name at the manager
    std::string DisplayName; // registered with INSTALL
    // Logon account and password that INSTALL registers; empty means ".\LocalSystem".
    std::string ServiceStartName;
    std::string Password;
    // Start type that INSTALL registers: automatic, so that the service starts with the
    // manager (at boot) and runs unattended.
    uint32_t StartType = SERVICE_AUTO_START;
    bool AllowStop = true;
    bool AllowPause = false;   // this manager never pauses services; kept for their settings
    uint32_t WaitHint = 10000; // milliseconds, reported with every pending status
    uint32_t Win32ErrCode = 0; // reported as the exit code when the service stops
    uint32_t ErrCode = 0;      // service-specific exit code (reported with code 1066)

    TStartEvent OnStart;
    TStopEvent OnStop;
    TServiceEvent OnShutdown;
    TServiceEvent OnExecute;

    // The routine the framework calls with each control code from the manager.
    virtual TServiceController GetServiceController() = 0;
    // Queues a control code for the service thread.
    void Controller(uint32_t CtrlCode);

    // The service thread; exists while the service runs.
    TServiceThread* ServiceThread() const { return serviceThread_.get(); }

    TCurrentStatus Status() const;
    // Changes the status and reports it.
    void SetStatus(TCurrentStatus Value);
    // Reports the current status to the manager; while a state is pending, each report
    // carries the next checkpoint.
    void ReportStatus();

    // Writes to the system log under the service's name.
    void LogMessage(const std::string& Message, int EventType = EVENTLOG_ERROR_TYPE);
    TEventLogger* EventLogger();

    // Runs the service on the private channel `channelFd` (taken over) until its service
    // thread ends; the application calls it, and tests that play the manager's part.
    int RunService(int channelFd);

private:
    friend class TServiceThread;
    void DoStop();
    void DoShutdown();

    std::unique_ptr<TServiceChannel> channel_;
    std::unique_ptr<TServiceThread> serviceThread_;
    mutable std::mutex statusMutex_;
    TCurrentStatus status_ = csStopped;
    uint32_t checkPoint_ = 0;
    std::mutex loggerMutex_;
    std::unique_ptr<TEventLogger> eventLogger_;
};

// The application object of a service program.
class TServiceApplication {
public:
    TServiceApplication(int argc, char** argv);
    ~TServiceApplication();

    void Initialize() {}
    // Creates the service object; the application owns it, `Reference` points to it.
    template <class T> void CreateForm(T*& Reference) {
        auto service = std::make_unique<T>();
        Reference = service.get();
        services_.push_back(std::move(service));
    }
    // Handles the switches or runs the service; returns the program's exit code.
    int Run();

    std::string Title;

private:
    int Install(bool silent);
    int Uninstall(bool silent);
    int RunAsService();

    std::string programName_;
    std::vector<std::string> args_;
    std::vector<std::unique_ptr<TService>> services_;
};
