#include "platform/svcapp.h"

#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/namedpipe.h"
#include "platform/svcapp_channel.h"
#include "platform/svcmgr/svcmgr_proto.h"
#include "platform/svcmgr/svcmgr_texts.h"

namespace {

std::string Failure(const char* action, const std::exception& e) {
    return svcproto::Format(svctext::AppServiceFailed, action, e.what());
}

bool IsPending(TCurrentStatus status) {
    return status == csStartPending || status == csStopPending || status == csContinuePending ||
           status == csPausePending;
}

} // namespace

// --- TServiceThread ---

TServiceThread::TServiceThread(TService& service) : service_(service) {}

TServiceThread::~TServiceThread() {
    WaitFor();
}

void TServiceThread::Start(std::function<void()> finished) {
    thread_ = std::thread([this, finished = std::move(finished)] {
        threadId_ = std::this_thread::get_id();
        Execute();
        finished();
    });
    threadId_ = thread_.get_id();
}

void TServiceThread::WaitFor() {
    if (thread_.joinable()) {
        thread_.join();
        threadId_ = std::thread::id();
    }
}

void TServiceThread::Terminate() {
    std::lock_guard lock(mutex_);
    terminated_ = true;
    wake_.notify_all();
}

void TServiceThread::PostRequest(uint32_t CtrlCode) {
    {
        std::lock_guard lock(mutex_);
        auto interrogation =
            std::find(queue_.begin(), queue_.end(), uint32_t{SERVICE_CONTROL_INTERROGATE});
        if (CtrlCode != SERVICE_CONTROL_INTERROGATE || interrogation == queue_.end()) {
            // A stop or shutdown goes before the interrogation that waits, so that a job that
            // looks at the first request sees it at once.
            queue_.insert(CtrlCode == SERVICE_CONTROL_INTERROGATE ? queue_.end() : interrogation,
                          CtrlCode);
            wake_.notify_all();
            return;
        }
    }
    // One interrogation waits already: this one is answered from the current status, so that
    // interrogations from many users never pile up in the queue.
    service_.ReportStatus();
}

bool TServiceThread::PeekFirstRequest(uint32_t& CtrlCode) const {
    std::lock_guard lock(mutex_);
    if (queue_.empty())
        return false;
    CtrlCode = queue_.front();
    return true;
}

bool TServiceThread::IsQueued(uint32_t CtrlCode) const {
    std::lock_guard lock(mutex_);
    return std::find(queue_.begin(), queue_.end(), CtrlCode) != queue_.end();
}

void TServiceThread::ProcessRequests(bool WaitForMessage) {
    for (;;) {
        uint32_t code;
        {
            std::unique_lock lock(mutex_);
            if (WaitForMessage) {
                wake_.wait(lock, [this] { return terminated_ || !queue_.empty(); });
                if (terminated_)
                    break;
            } else if (queue_.empty()) {
                break;
            }
            code = queue_.front();
            queue_.pop_front();
        }
        Dispatch(code);
    }
}

void TServiceThread::Dispatch(uint32_t CtrlCode) {
    switch (CtrlCode) {
    case SERVICE_CONTROL_STOP:
        // Once terminated, the stop has been carried out: a repeated request is dropped so
        // that the stop handler never runs twice.
        if (!Terminated())
            service_.DoStop();
        break;
    case SERVICE_CONTROL_SHUTDOWN:
        if (!Terminated())
            service_.DoShutdown();
        break;
    case SERVICE_CONTROL_INTERROGATE:
        service_.ReportStatus();
        break;
    default: // pause, continue and custom codes are not accepted
        break;
    }
}

void TServiceThread::Execute() {
    service_.SetStatus(csStartPending);
    bool Started = true;
    try {
        if (service_.OnStart)
            service_.OnStart(&service_, Started);
    } catch (const std::exception& e) {
        service_.LogMessage(Failure(svctext::AppActionStart, e));
        Started = false;
    }
    if (!Started)
        return;
    try {
        service_.SetStatus(csRunning);
        if (service_.OnExecute)
            service_.OnExecute(&service_);
        else
            ProcessRequests(true);
        ProcessRequests(false);
    } catch (const std::exception& e) {
        service_.LogMessage(Failure(svctext::AppActionExecute, e));
    }
}

// --- TService ---

TService::TService() = default;

TService::~TService() = default;

void TService::Controller(uint32_t CtrlCode) {
    if (serviceThread_)
        serviceThread_->PostRequest(CtrlCode);
}

TCurrentStatus TService::Status() const {
    std::lock_guard lock(statusMutex_);
    return status_;
}

void TService::SetStatus(TCurrentStatus Value) {
    {
        std::lock_guard lock(statusMutex_);
        if (status_ != Value)
            checkPoint_ = 0; // a new state counts its checkpoints from 1 again
        status_ = Value;
    }
    ReportStatus();
}

void TService::ReportStatus() {
    std::lock_guard lock(statusMutex_);
    TServiceStatus report;
    report.CurrentState = status_;
    if (status_ != csStartPending && status_ != csStopped && status_ != csStopPending) {
        report.ControlsAccepted = SERVICE_ACCEPT_SHUTDOWN;
        if (AllowStop)
            report.ControlsAccepted |= SERVICE_ACCEPT_STOP;
    }
    if (IsPending(status_)) {
        report.CheckPoint = ++checkPoint_;
        report.WaitHint = WaitHint;
    } else {
        checkPoint_ = 0;
    }
    if (ErrCode != 0) {
        report.Win32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
        report.ServiceSpecificExitCode = ErrCode;
    } else {
        report.Win32ExitCode = Win32ErrCode;
    }
    if (channel_)
        channel_->Send(report);
}

void TService::LogMessage(const std::string& Message, int EventType) {
    EventLogger()->LogMessage(Message, EventType);
}

TEventLogger* TService::EventLogger() {
    std::lock_guard lock(loggerMutex_);
    if (!eventLogger_)
        eventLogger_ = std::make_unique<TEventLogger>(Name);
    return eventLogger_.get();
}

void TService::DoStop() {
    TCurrentStatus previous = Status();
    SetStatus(csStopPending);
    bool Stopped = true;
    try {
        if (OnStop)
            OnStop(this, Stopped);
    } catch (const std::exception& e) {
        LogMessage(Failure(svctext::AppActionStop, e));
        Stopped = false;
    }
    if (Stopped)
        serviceThread_->Terminate();
    else
        SetStatus(previous);
}

void TService::DoShutdown() {
    SetStatus(csStopPending);
    try {
        if (OnShutdown)
            OnShutdown(this);
    } catch (const std::exception& e) {
        LogMessage(Failure(svctext::AppActionShutdown, e));
    }
    // A shutdown cannot be refused.
    serviceThread_->Terminate();
}

int TService::RunService(int channelFd) {
    channel_ = std::make_unique<TServiceChannel>(channelFd);
    // The pipe directory is root's: the manager binds this service's pipes, whatever account
    // the service runs under, and keeps their names as this service's.
    TServiceChannel* channel = channel_.get();
    SetPipeBinder([channel](const std::string& name, mode_t mode) {
        return channel->BindPipe(name, static_cast<unsigned>(mode));
    });
    TUniqueFd finished(eventfd(0, EFD_CLOEXEC));
    serviceThread_ = std::make_unique<TServiceThread>(*this);
    int finishedFd = finished.Get();
    serviceThread_->Start([finishedFd] {
        uint64_t one = 1;
        ssize_t ignored = write(finishedFd, &one, sizeof one);
        (void)ignored;
    });

    // The control dispatcher: control codes from the manager go to the controller until
    // the service thread has ended. A lost manager counts as a system shutdown.
    TServiceController controller = GetServiceController();
    bool channelOpen = true;
    for (;;) {
        pollfd fds[2] = {{finishedFd, POLLIN, 0}, {channelOpen ? channel_->Fd() : -1, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[0].revents)
            break;
        if (!fds[1].revents)
            continue;
        uint32_t code = 0;
        switch (channel_->Receive(code)) {
        case TServiceChannel::TReceived::Control:
            if (controller)
                controller(code);
            else
                Controller(code);
            break;
        case TServiceChannel::TReceived::Closed:
            channelOpen = false;
            Controller(SERVICE_CONTROL_SHUTDOWN);
            break;
        case TServiceChannel::TReceived::Nothing:
            break;
        }
    }
    serviceThread_->WaitFor();
    SetStatus(csStopped);
    serviceThread_.reset();
    SetPipeBinder(nullptr);
    channel_.reset();
    return 0;
}
