#include "platform/svcmgr/svcmgr_services.h"

#include <cerrno>
#include <csignal>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/fdpassing.h"
#include "platform/svcmgr/svcmgr_launch.h"
#include "platform/svcmgr/svcmgr_logon.h"
#include "platform/svcmgr/svcmgr_proto.h"
#include "platform/svcmgr/svcmgr_texts.h"

using svcproto::Error;
using svcproto::Format;

namespace {

constexpr size_t MaxReportSize = 4096;
// How long a launcher told to end may take before it is killed.
constexpr auto LauncherGrace = std::chrono::seconds(2);
// A PAM stack that takes longer than this to check a password is taken as a refusal; the
// manager answers nobody else meanwhile.
constexpr int LogonCheckTimeoutMs = 5000;

int ExitCodeOf(int waitStatus) {
    if (WIFEXITED(waitStatus))
        return WEXITSTATUS(waitStatus);
    if (WIFSIGNALED(waitStatus))
        return 128 + WTERMSIG(waitStatus);
    return -1;
}

// A service leads its own session and process group: its helpers go with it.
void KillProcessGroup(pid_t pid) {
    if (kill(-pid, SIGKILL) != 0)
        kill(pid, SIGKILL);
}

// The service's process is its launcher: SIGTERM makes it kill the program and everything the
// program started, wherever their sessions are, and end. A launcher still in the logon ends
// at once.
void EndService(pid_t pid) {
    kill(pid, SIGTERM);
}

// Reaps the processes of `pids` as they end, for at most `limit`; those left stay in `pids`.
void ReapWithin(std::set<pid_t>& pids, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!pids.empty() && std::chrono::steady_clock::now() < deadline) {
        for (auto it = pids.begin(); it != pids.end();) {
            int waitStatus;
            pid_t done = waitpid(*it, &waitStatus, WNOHANG);
            it = (done == *it || (done < 0 && errno == ECHILD)) ? pids.erase(it) : std::next(it);
        }
        if (!pids.empty())
            usleep(5000);
    }
}

TServiceStatus StoppedStatus(uint32_t win32ExitCode, uint32_t specificExitCode) {
    TServiceStatus status;
    status.CurrentState = SERVICE_STOPPED;
    status.Win32ExitCode = win32ExitCode;
    status.ServiceSpecificExitCode = specificExitCode;
    return status;
}

} // namespace

TServiceTable::TServiceTable(TServiceRegistry registry, TStartAnswer startAnswer,
                             std::chrono::milliseconds launchTimeout)
    : registry_(std::move(registry)), startAnswer_(std::move(startAnswer)),
      launchTimeout_(launchTimeout) {}

TServiceTable::~TServiceTable() = default;

std::vector<std::string> TServiceTable::Load() {
    std::vector<std::string> problems;
    registry_.Prepare();
    for (auto& service : registry_.LoadAll(problems)) {
        std::string key = ServiceNameKey(service.Name);
        entries_[key].Config = std::move(service);
    }
    return problems;
}

std::vector<std::string> TServiceTable::AutomaticServices() const {
    std::vector<std::string> names;
    for (const auto& [key, entry] : entries_)
        if (entry.Config.StartType == SERVICE_AUTO_START && !entry.MarkedForDelete)
            names.push_back(entry.Config.Name);
    return names;
}

TServiceTable::TEntry& TServiceTable::Find(const std::string& name) {
    auto it = entries_.find(ServiceNameKey(name));
    if (it == entries_.end())
        throw Error(ERROR_SERVICE_DOES_NOT_EXIST, Format(svctext::ErrDoesNotExist, name.c_str()));
    return it->second;
}

const TServiceTable::TEntry& TServiceTable::Find(const std::string& name) const {
    return const_cast<TServiceTable*>(this)->Find(name);
}

std::string TServiceTable::Open(const std::string& name) const {
    return Find(name).Config.Name;
}

TServiceStatus TServiceTable::QueryStatus(const std::string& name) const {
    return Find(name).Status;
}

TServiceConfig TServiceTable::QueryConfig(const std::string& name) const {
    const TEntry& entry = Find(name);
    return {entry.Config.Name, entry.Config.DisplayName, entry.Config.BinaryPath,
            entry.Config.StartName, entry.Config.StartType};
}

std::vector<TServiceListEntry> TServiceTable::List() const {
    std::vector<TServiceListEntry> list;
    for (const auto& [key, entry] : entries_)
        list.push_back({entry.Config.Name, entry.Config.DisplayName, entry.Status});
    return list;
}

void TServiceTable::Create(TRegisteredService service) {
    ValidateNewServiceName(service.Name);
    ValidateDisplayName(service.DisplayName);
    ValidateBinaryPath(service.BinaryPath);
    ValidateStartName(service.StartName);
    ValidatePassword(service.Password);
    ValidateStartType(service.StartType);
    auto it = entries_.find(ServiceNameKey(service.Name));
    if (it != entries_.end()) {
        if (it->second.MarkedForDelete)
            throw Error(ERROR_SERVICE_MARKED_FOR_DELETE, svctext::ErrMarkedForDelete);
        throw Error(ERROR_SERVICE_EXISTS, Format(svctext::ErrExists, service.Name.c_str()));
    }
    if (service.DisplayName.empty())
        service.DisplayName = service.Name;
    if (service.StartName.empty())
        service.StartName = LocalSystemAccount;
    if (ParseLogonAccount(service.StartName).LocalSystem)
        service.Password.clear();
    registry_.Save(service);
    entries_[ServiceNameKey(service.Name)].Config = std::move(service);
}

void TServiceTable::Delete(const std::string& name) {
    TEntry& entry = Find(name);
    if (entry.MarkedForDelete)
        throw Error(ERROR_SERVICE_MARKED_FOR_DELETE, svctext::ErrMarkedForDelete);
    registry_.Remove(entry.Config.Name);
    entry.MarkedForDelete = true;
    SweepDeleted();
}

void TServiceTable::ChangeConfig(const std::string& name, uint32_t changeMask,
                                 const TRegisteredService& values) {
    TEntry& entry = Find(name);
    if (entry.MarkedForDelete)
        throw Error(ERROR_SERVICE_MARKED_FOR_DELETE, svctext::ErrMarkedForDelete);
    TRegisteredService changed = entry.Config;
    if (changeMask & svcproto::ChangeDisplayName) {
        ValidateDisplayName(values.DisplayName);
        changed.DisplayName = values.DisplayName.empty() ? changed.Name : values.DisplayName;
    }
    if (changeMask & svcproto::ChangeBinaryPath) {
        ValidateBinaryPath(values.BinaryPath);
        changed.BinaryPath = values.BinaryPath;
    }
    if (changeMask & svcproto::ChangeStartName) {
        ValidateStartName(values.StartName);
        changed.StartName = values.StartName.empty() ? LocalSystemAccount : values.StartName;
    }
    if (changeMask & svcproto::ChangePassword) {
        ValidatePassword(values.Password);
        changed.Password = values.Password;
    }
    if (changeMask & svcproto::ChangeStartType) {
        ValidateStartType(values.StartType);
        changed.StartType = values.StartType;
    }
    if (ParseLogonAccount(changed.StartName).LocalSystem)
        changed.Password.clear();
    registry_.Save(changed);
    entry.Config = std::move(changed);
}

void TServiceTable::CheckAccount(const std::string& name, const std::string& account,
                                 const std::string& password) const {
    Find(name);
    ValidateStartName(account);
    ValidatePassword(password);
    TLogonAccount logon = ParseLogonAccount(account);
    if (logon.LocalSystem)
        return;
    if (!getpwnam(logon.UserName.c_str()))
        throw Error(ERROR_SERVICE_LOGON_FAILED, Format(svctext::ErrAccountRefused, account.c_str(),
                                                       svctext::ErrLogonUnknownUser));
    std::string why;
    if (!CheckLogonPasswordApart(logon.UserName, password, why, LogonCheckTimeoutMs))
        throw Error(ERROR_SERVICE_LOGON_FAILED,
                    Format(svctext::ErrAccountRefused, account.c_str(),
                           why.empty() ? svctext::ErrLogonBadPassword : why.c_str()));
}

void TServiceTable::Start(const std::string& name, uint64_t client) {
    TEntry& entry = Find(name);
    if (entry.MarkedForDelete)
        throw Error(ERROR_SERVICE_MARKED_FOR_DELETE, svctext::ErrMarkedForDelete);
    if (shuttingDown_)
        throw Error(ERROR_SHUTDOWN_IN_PROGRESS, svctext::ErrShutdownInProgress);
    if (entry.Config.StartType == SERVICE_DISABLED)
        throw Error(ERROR_SERVICE_DISABLED, svctext::ErrServiceDisabled);
    if (entry.Phase == TPhase::Launching || entry.Phase == TPhase::Active)
        throw Error(ERROR_SERVICE_ALREADY_RUNNING, svctext::ErrAlreadyRunning);
    if (entry.Phase == TPhase::Exiting)
        DetachProcess(entry); // reported stopped, its process still ending

    TLaunchedProcess launched = LaunchService({entry.Config.Name, entry.Config.BinaryPath,
                                               entry.Config.StartName, entry.Config.Password});
    entry.Phase = TPhase::Launching;
    entry.Pid = launched.Pid;
    entry.Channel = std::move(launched.Channel);
    entry.Report = std::move(launched.Report);
    entry.ReportData.clear();
    entry.ReportedStopped = false;
    entry.InterrogationSent = false;
    entry.LaunchDeadline = TClock::now() + launchTimeout_;
    entry.Status = StoppedStatus(0, 0);
    entry.StartWaiters.push_back(client);
}

TServiceStatus TServiceTable::Control(const std::string& name, uint32_t controlCode) {
    TEntry& entry = Find(name);
    if (controlCode < SERVICE_CONTROL_STOP || controlCode > SERVICE_CONTROL_INTERROGATE)
        throw Error(EINVAL, svctext::ErrInvalidControl);
    if (entry.Phase != TPhase::Active)
        throw Error(ERROR_SERVICE_NOT_ACTIVE, svctext::ErrNotActive);
    const TServiceStatus& status = entry.Status;
    bool pending =
        status.CurrentState == SERVICE_START_PENDING || status.CurrentState == SERVICE_STOP_PENDING;
    bool accepted = true;
    if (controlCode == SERVICE_CONTROL_STOP)
        accepted = (status.ControlsAccepted & SERVICE_ACCEPT_STOP) != 0;
    else if (controlCode != SERVICE_CONTROL_INTERROGATE)
        accepted = (status.ControlsAccepted & SERVICE_ACCEPT_PAUSE_CONTINUE) != 0;
    if (!entry.Channel || !accepted || (pending && controlCode != SERVICE_CONTROL_INTERROGATE))
        throw Error(ERROR_SERVICE_CANNOT_ACCEPT_CTRL, svctext::ErrCannotAcceptControl);
    if (controlCode == SERVICE_CONTROL_INTERROGATE && entry.InterrogationSent)
        return entry.Status;
    SendControl(entry, controlCode);
    entry.InterrogationSent = entry.InterrogationSent || controlCode == SERVICE_CONTROL_INTERROGATE;
    return entry.Status;
}

void TServiceTable::SendControl(TEntry& entry, uint32_t code) {
    std::string message = svcproto::EncodeControlCode(code);
    ssize_t sent;
    do
        sent =
            send(entry.Channel.Get(), message.data(), message.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    while (sent < 0 && errno == EINTR);
    if (sent < 0)
        throw Error(ERROR_SERVICE_REQUEST_TIMEOUT, svctext::ErrRequestTimeout);
}

std::vector<TServiceTable::TWatch> TServiceTable::Watches() const {
    std::vector<TWatch> watches;
    for (const auto& [key, entry] : entries_) {
        if (entry.Report)
            watches.push_back({entry.Report.Get(), key, true});
        if (entry.Channel)
            watches.push_back({entry.Channel.Get(), key, false});
    }
    return watches;
}

void TServiceTable::OnReadable(const TWatch& watch) {
    auto it = entries_.find(watch.Key);
    if (it == entries_.end())
        return;
    TEntry& entry = it->second;
    if (watch.IsReport && entry.Report.Get() == watch.Fd)
        ReadReport(entry, false);
    else if (!watch.IsReport && entry.Channel.Get() == watch.Fd)
        ReadChannel(entry);
    SweepDeleted();
}

void TServiceTable::ReadReport(TEntry& entry, bool final) {
    char buffer[512];
    for (;;) {
        ssize_t got = read(entry.Report.Get(), buffer, sizeof buffer);
        if (got > 0) {
            if (entry.ReportData.size() + static_cast<size_t>(got) > MaxReportSize) {
                EndLauncher(entry.Pid);
                FinishLaunch(entry, false, ERROR_PROCESS_ABORTED, svctext::ErrProcessAborted);
                return;
            }
            entry.ReportData.append(buffer, static_cast<size_t>(got));
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && errno == EAGAIN && !final)
            return; // more to come
        break;      // end of the pipe: the program runs, or the child wrote why not
    }
    entry.Report.Reset();
    TLaunchResult result = ParseLaunchReport(entry.ReportData);
    // A program that runs has launched once it reports through its channel.
    if (!result.Ok)
        FinishLaunch(entry, false, result.Code, result.Text);
}

void TServiceTable::FinishLaunch(TEntry& entry, bool ok, int code, const std::string& text) {
    entry.Report.Reset();
    entry.ReportData.clear();
    if (!ok) {
        DetachProcess(entry); // the child ends by itself, or was killed
        entry.Status = StoppedStatus(static_cast<uint32_t>(code), 0);
    }
    std::vector<uint64_t> waiters;
    waiters.swap(entry.StartWaiters);
    for (uint64_t client : waiters)
        startAnswer_(client, entry.Config.Name, ok ? 0 : code, text, entry.Status);
    if (ok && shuttingDown_ && entry.Channel) {
        try {
            SendControl(entry, SERVICE_CONTROL_SHUTDOWN);
        } catch (const EOSError&) {
        }
    }
}

void TServiceTable::ReadChannel(TEntry& entry) {
    while (entry.Channel) {
        TReceivedMessage message = ReceiveWithDescriptor(entry.Channel.Get(), true);
        if (message.Error == EAGAIN)
            return;
        if (message.Error == EMSGSIZE)
            continue; // dropped, like any malformed message
        if (message.Data.empty()) {
            // The service closed its channel: it is ending; its exit decides the status.
            entry.Channel.Reset();
            return;
        }
        try {
            const std::string& data = message.Data;
            if (svcproto::ChannelOp(data.data(), data.size()) ==
                static_cast<uint16_t>(svcproto::TOp::PipeBind)) {
                if (message.Fd)
                    BindPipe(entry, data, message.Fd.Get());
                continue;
            }
            ApplyReport(entry, svcproto::DecodeStatusReport(data.data(), data.size()));
        } catch (const EOSError&) {
            // A malformed report is ignored; the service keeps its last status.
        }
    }
}

void TServiceTable::ApplyReport(TEntry& entry, const TServiceStatus& reported) {
    if (reported.CurrentState < SERVICE_STOPPED || reported.CurrentState > SERVICE_PAUSED)
        return;
    entry.InterrogationSent = false;
    if (entry.Phase == TPhase::Launching) {
        // The first report ends the launch: the program speaks to its manager. A program that
        // stops at once (it does not implement the service, say) fails the start.
        if (reported.CurrentState == SERVICE_STOPPED && reported.Win32ExitCode != 0) {
            int code = static_cast<int>(reported.Win32ExitCode);
            DetachProcess(entry);
            entry.Status = StoppedStatus(reported.Win32ExitCode, reported.ServiceSpecificExitCode);
            FinishLaunch(entry, false, code,
                         code == ERROR_SERVICE_NOT_IN_EXE
                             ? std::string(svctext::ErrNotInExe)
                             : Format(svctext::ErrStoppedAtStart, code));
            return;
        }
        entry.Phase = TPhase::Active;
        ApplyReport(entry, reported);
        FinishLaunch(entry, true, 0, "");
        return;
    }
    if (entry.Phase != TPhase::Active)
        return;
    TServiceStatus status = reported;
    status.ServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.ProcessId = static_cast<uint32_t>(entry.Pid);
    status.ProcessExitCode = -1;
    if (status.CurrentState == SERVICE_STOPPED) {
        status.ProcessId = 0;
        status.ControlsAccepted = 0;
        status.CheckPoint = 0;
        status.WaitHint = 0;
        entry.ReportedStopped = true;
        entry.Phase = TPhase::Exiting;
        entry.Channel.Reset();
    }
    entry.Status = status;
}

void TServiceTable::ReapChildren() {
    for (;;) {
        int waitStatus = 0;
        pid_t pid = waitpid(-1, &waitStatus, WNOHANG);
        if (pid <= 0)
            return;
        killAt_.erase(pid);
        if (detached_.erase(pid))
            continue;
        for (auto& [key, entry] : entries_) {
            if (entry.Pid == pid) {
                ChildExited(entry, pid, waitStatus);
                break;
            }
        }
        SweepDeleted();
    }
}

void TServiceTable::ChildExited(TEntry& entry, pid_t pid, int waitStatus) {
    // Everything the child wrote before it ended can be read now.
    if (entry.Report)
        ReadReport(entry, true);
    if (entry.Channel)
        ReadChannel(entry);
    if (entry.Phase == TPhase::Launching) // ended before it ever reported
        FinishLaunch(entry, false, ERROR_PROCESS_ABORTED, svctext::ErrProcessAborted);
    detached_.erase(pid); // reaped here, also when a failed launch detached it
    if (entry.Pid != pid) {
        entry.Status.ProcessExitCode = ExitCodeOf(waitStatus);
        return;
    }
    if (!entry.ReportedStopped)
        entry.Status = StoppedStatus(ERROR_PROCESS_ABORTED, 0);
    entry.Status.ProcessId = 0;
    entry.Status.ProcessExitCode = ExitCodeOf(waitStatus);
    entry.Channel.Reset();
    entry.Pid = -1;
    entry.Phase = TPhase::Stopped;
    RemoveBoundPipes(entry);
}

void TServiceTable::DetachProcess(TEntry& entry) {
    if (entry.Pid > 0)
        detached_.insert(entry.Pid);
    entry.Pid = -1;
    entry.Channel.Reset();
    entry.Report.Reset();
    entry.Phase = TPhase::Stopped;
    RemoveBoundPipes(entry);
}

void TServiceTable::SweepDeleted() {
    for (auto it = entries_.begin(); it != entries_.end();) {
        if (it->second.MarkedForDelete && it->second.Phase == TPhase::Stopped)
            it = entries_.erase(it);
        else
            ++it;
    }
}

std::optional<TServiceTable::TClock::time_point> TServiceTable::NextDeadline() const {
    std::optional<TClock::time_point> next;
    for (const auto& [key, entry] : entries_)
        if (entry.Phase == TPhase::Launching && (!next || entry.LaunchDeadline < *next))
            next = entry.LaunchDeadline;
    for (const auto& [pid, when] : killAt_)
        if (!next || when < *next)
            next = when;
    return next;
}

void TServiceTable::EndLauncher(pid_t pid) {
    EndService(pid);
    killAt_[pid] = TClock::now() + LauncherGrace;
}

void TServiceTable::CheckDeadlines(TClock::time_point now) {
    // A launcher that did not end on SIGTERM (a PAM module holding it, say) is killed with
    // everything in its group, so that no old program runs beside a new start.
    for (auto it = killAt_.begin(); it != killAt_.end();) {
        if (now < it->second) {
            ++it;
            continue;
        }
        if (detached_.count(it->first))
            KillProcessGroup(it->first);
        it = killAt_.erase(it);
    }
    for (auto& [key, entry] : entries_) {
        if (entry.Phase == TPhase::Launching && now >= entry.LaunchDeadline) {
            EndLauncher(entry.Pid);
            FinishLaunch(entry, false, ERROR_SERVICE_REQUEST_TIMEOUT, svctext::ErrRequestTimeout);
        }
    }
    SweepDeleted();
}

void TServiceTable::BeginShutdown() {
    shuttingDown_ = true;
    for (auto& [key, entry] : entries_) {
        if (entry.Phase == TPhase::Active && entry.Channel) {
            try {
                SendControl(entry, SERVICE_CONTROL_SHUTDOWN);
            } catch (const EOSError&) {
            }
        }
    }
}

bool TServiceTable::HasProcesses() const {
    if (!detached_.empty())
        return true;
    for (const auto& [key, entry] : entries_)
        if (entry.Pid > 0)
            return true;
    return false;
}

void TServiceTable::KillAll(const std::function<void(const std::string&)>& report) {
    std::set<pid_t> pids = detached_;
    for (auto& [key, entry] : entries_) {
        if (entry.Pid > 0) {
            report(entry.Config.Name);
            pids.insert(entry.Pid);
        }
    }
    for (pid_t pid : pids)
        EndService(pid);
    // The launchers end their programs and what those started at once; one that has not ended
    // after 2 s is killed with its process group, and a process stuck in the kernel is left
    // behind after one more second rather than holding the manager up.
    ReapWithin(pids, std::chrono::seconds(2));
    for (pid_t pid : pids)
        KillProcessGroup(pid);
    ReapWithin(pids, std::chrono::seconds(1));
    detached_.clear();
    for (auto& [key, entry] : entries_) {
        if (entry.Pid > 0) {
            entry.Pid = -1;
            entry.Phase = TPhase::Stopped;
        }
        RemoveBoundPipes(entry);
    }
}
