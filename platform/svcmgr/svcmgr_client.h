// Client of the service manager: what a service console and a service program's install
// switches call. Handles are RAII objects; every failure raises EOSError with the code
// and text of the condition (1060 no such service, 1056 already running, 1062 not running,
// 1069 logon failure, EACCES without the right, 1722 manager not running, ...).
//
// Each call is one request on a fresh connection to the manager's socket, so a handle kept
// open for a long time (as the console keeps its handles between ticks) survives a restart
// of the manager.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/svcmgr/svcmgr_types.h"

class TScService;

// How long a request waits for the manager's answer unless the caller gives its own limit.
constexpr int SvcMgrRequestTimeoutMs = 10000;

// A connection to the service manager of one PC.
class TScManager {
public:
    TScManager() = default; // not open

    // Opens the manager of `machineName` (empty, ".", "localhost" or this PC's own name
    // mean this PC; "\\" in front is allowed). Another PC is reached through ssh
    // (platform/remotepc.h), with the rights of the login user there; it fails with
    // ERROR_BAD_NETPATH when it cannot be reached. Rights the caller does not hold fail
    // with EACCES. `timeoutMs` bounds the wait for the manager's answer (1722 after it).
    static TScManager Open(const std::string& machineName, uint32_t desiredAccess,
                           int timeoutMs = SvcMgrRequestTimeoutMs);

    bool IsOpen() const { return open_; }
    void Close() { open_ = false; }
    uint32_t GrantedAccess() const { return access_; }

    // Opens a service by name (without regard to case); 1060 when it is not installed.
    TScService OpenService(const std::string& serviceName, uint32_t desiredAccess,
                           int timeoutMs = SvcMgrRequestTimeoutMs) const;
    // Registers a new service; 1073 when the name is taken. `startType`: SERVICE_AUTO_START,
    // SERVICE_DEMAND_START or SERVICE_DISABLED.
    TScService CreateService(const std::string& serviceName, const std::string& displayName,
                             uint32_t desiredAccess, const std::string& binaryPathName,
                             const std::string& serviceStartName, const std::string& password,
                             uint32_t startType = SERVICE_DEMAND_START) const;
    std::vector<TServiceListEntry> ListServices() const;

private:
    bool open_ = false;
    uint32_t access_ = 0;
    std::string socketPath_; // or "\\PC" for the manager of another PC
};

// An open service.
class TScService {
public:
    TScService() = default; // not open

    bool IsOpen() const { return open_; }
    void Close() { open_ = false; }
    const std::string& ServiceName() const { return name_; }
    uint32_t GrantedAccess() const { return access_; }

    TServiceStatus QueryStatus(int timeoutMs = SvcMgrRequestTimeoutMs) const;
    TServiceConfig QueryConfig() const;
    // Returns once the service program runs and has reported to the manager (state start
    // pending); it does not wait for the service to run. A logon failure (1069), a program
    // that cannot run (its errno), ends (1067) or stays silent (1053) fails the start.
    void Start() const;
    // Sends a control code (stop, interrogate); returns the status the manager knows at
    // that moment, without waiting for the service to act on it.
    TServiceStatus Control(uint32_t controlCode) const;
    // Changes only the fields given (nullptr: unchanged); an account change with no
    // password given keeps the stored one.
    void ChangeConfig(const std::string* displayName, const std::string* binaryPathName,
                      const std::string* serviceStartName, const std::string* password) const;
    // Checks what a change of the logon account to `serviceStartName` with `password` would
    // meet, changing nothing: invalid values, an account unknown on the service's PC, or a
    // password its PAM stack refuses (1069). Needs the right to change the configuration.
    void CheckAccount(const std::string& serviceStartName, const std::string& password) const;
    // Changes the start type (automatic, on demand, disabled); a running service goes on.
    void ChangeStartType(uint32_t startType) const;
    // Removes the service; a running one is removed when it stops.
    void Delete() const;

private:
    friend class TScManager;
    bool open_ = false;
    uint32_t access_ = 0;
    std::string name_;
    std::string socketPath_;
};

// True when `machineName` names this PC.
bool IsLocalMachineName(const std::string& machineName);

// One raw request on the socket at `socketPath`: sends `request`, returns the answer bytes.
// Fails with 1722 when the manager is not there or does not answer within `timeoutMs`.
std::string SvcMgrTransact(const std::string& socketPath, const std::string& request,
                           int timeoutMs);
