// The manager's table of services: registered configuration, current status and the
// process of each running service. It launches service programs, reads their status reports,
// passes control codes to them and notices when their processes end. It never blocks and
// never restarts a service by itself. The manager's event loop owns it and feeds it the
// readiness of the descriptors it lists, the children that ended and the passing time.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <sys/types.h>
#include <vector>

#include "platform/svcmgr/svcmgr_registry.h"
#include "platform/svcmgr/svcmgr_types.h"
#include "platform/uniquefd.h"

class TServiceTable {
public:
    using TClock = std::chrono::steady_clock;
    // Delivers the answer to a start request that was left waiting for the launch (client 0:
    // a start of the manager's own, see AutomaticServices).
    using TStartAnswer =
        std::function<void(uint64_t client, const std::string& serviceName, int code,
                           const std::string& text, const TServiceStatus& status)>;

    TServiceTable(TServiceRegistry registry, TStartAnswer startAnswer,
                  std::chrono::milliseconds launchTimeout);
    ~TServiceTable();
    TServiceTable(const TServiceTable&) = delete;
    TServiceTable& operator=(const TServiceTable&) = delete;

    // Loads the registry; returns the descriptions of the files left out.
    std::vector<std::string> Load();
    // The services that start with the manager (start type automatic), by registered name.
    std::vector<std::string> AutomaticServices() const;

    // Requests. Each raises EOSError with the manager's code and text on failure.
    std::string Open(const std::string& name) const; // the registered spelling of the name
    TServiceStatus QueryStatus(const std::string& name) const;
    TServiceConfig QueryConfig(const std::string& name) const;
    std::vector<TServiceListEntry> List() const;
    void Create(TRegisteredService service);
    void Delete(const std::string& name);
    void ChangeConfig(const std::string& name, uint32_t changeMask,
                      const TRegisteredService& values);
    // Checks, without changing or starting anything, what a change of the service's logon
    // account to `account` with `password` would meet: the values the registry refuses, an
    // account unknown here (1069), and the password through PAM (1069).
    void CheckAccount(const std::string& name, const std::string& account,
                      const std::string& password) const;
    // Launches the program (a disabled service refuses with 1058); the answer goes to `client`
    // through the start-answer callback once the program has sent its first status report, or its
    // launch failed. Until then the service shows as stopped.
    void Start(const std::string& name, uint64_t client);
    TServiceStatus Control(const std::string& name, uint32_t controlCode);

    // Event loop feed.
    struct TWatch {
        int Fd;
        std::string Key;
        bool IsReport; // the launch report pipe, else the service's channel
    };
    std::vector<TWatch> Watches() const;
    void OnReadable(const TWatch& watch);
    void ReapChildren();
    std::optional<TClock::time_point> NextDeadline() const;
    void CheckDeadlines(TClock::time_point now);

    // Shutdown: sends the shutdown control to every service that runs (and to those still
    // being launched, once they run); refuses further starts.
    void BeginShutdown();
    bool HasProcesses() const;
    // Kills the process groups of every service that is still there, and reaps them.
    void KillAll(const std::function<void(const std::string&)>& report);

private:
    enum class TPhase { Stopped, Launching, Active, Exiting };
    struct TEntry {
        TRegisteredService Config;
        TServiceStatus Status;
        TPhase Phase = TPhase::Stopped;
        pid_t Pid = -1;
        TUniqueFd Channel;
        TUniqueFd Report;
        std::string ReportData;
        TClock::time_point LaunchDeadline{};
        std::vector<uint64_t> StartWaiters;
        bool MarkedForDelete = false;
        bool ReportedStopped = false;
        // Socket files of the pipes the manager bound for the running process.
        struct TBoundPipe {
            std::string Path;
            dev_t Dev = 0;
            ino_t Ino = 0;
        };
        std::vector<TBoundPipe> BoundPipes;
        // An interrogation was passed on and the service has not reported since: further
        // ones are answered from the status known, so they never fill the channel.
        bool InterrogationSent = false;
    };

    TEntry& Find(const std::string& name);
    const TEntry& Find(const std::string& name) const;
    // Answers the waiting start requests; a failure detaches the process and leaves the
    // service stopped with `code`.
    void FinishLaunch(TEntry& entry, bool ok, int code, const std::string& text);
    void ReadReport(TEntry& entry, bool final);
    void ReadChannel(TEntry& entry);
    void ApplyReport(TEntry& entry, const TServiceStatus& reported);
    // Binds the listening socket of a pipe that the service asks for (svcmgr_pipes.cpp) and
    // answers on `replyFd`: refused when another service owns the name or serves it now.
    void BindPipe(TEntry& entry, const std::string& request, int replyFd);
    void BindPipeOrThrow(TEntry& entry, const std::string& pipeName, uint32_t mode, TUniqueFd& fd);
    // Removes the socket files bound for the service's process that are still its own.
    void RemoveBoundPipes(TEntry& entry);
    void ChildExited(TEntry& entry, pid_t pid, int waitStatus);
    void SendControl(TEntry& entry, uint32_t code);
    void DetachProcess(TEntry& entry);
    // SIGTERM to a launcher whose start failed, and SIGKILL to its group if it is still there
    // after a grace time (CheckDeadlines).
    void EndLauncher(pid_t pid);
    // Forgets the deleted services whose processes have ended.
    void SweepDeleted();

    TServiceRegistry registry_;
    TStartAnswer startAnswer_;
    std::chrono::milliseconds launchTimeout_;
    std::map<std::string, TEntry> entries_; // by ServiceNameKey
    std::set<pid_t> detached_;              // processes that no longer stand for a service
    // Launchers told to end (SIGTERM) and when they are killed if still there.
    std::map<pid_t, TClock::time_point> killAt_;
    bool shuttingDown_ = false;
};
