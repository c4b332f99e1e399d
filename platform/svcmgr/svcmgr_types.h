// Numbers of the service manager: service states, control codes, accepted controls, access
// rights and the error codes that callers test. They keep the values that service consoles
// and service programs know; the error numbers lie above the errno range.
#pragma once

#include <cstdint>
#include <string>

// Service states.
constexpr uint32_t SERVICE_STOPPED = 1;
constexpr uint32_t SERVICE_START_PENDING = 2;
constexpr uint32_t SERVICE_STOP_PENDING = 3;
constexpr uint32_t SERVICE_RUNNING = 4;
constexpr uint32_t SERVICE_CONTINUE_PENDING = 5;
constexpr uint32_t SERVICE_PAUSE_PENDING = 6;
constexpr uint32_t SERVICE_PAUSED = 7;

// Control codes.
constexpr uint32_t SERVICE_CONTROL_STOP = 1;
constexpr uint32_t SERVICE_CONTROL_PAUSE = 2;
constexpr uint32_t SERVICE_CONTROL_CONTINUE = 3;
constexpr uint32_t SERVICE_CONTROL_INTERROGATE = 4;
constexpr uint32_t SERVICE_CONTROL_SHUTDOWN = 5;

// Controls a service accepts (bits of ControlsAccepted).
constexpr uint32_t SERVICE_ACCEPT_STOP = 0x01;
constexpr uint32_t SERVICE_ACCEPT_PAUSE_CONTINUE = 0x02;
constexpr uint32_t SERVICE_ACCEPT_SHUTDOWN = 0x04;

constexpr uint32_t SERVICE_WIN32_OWN_PROCESS = 0x10;

// Start types: an automatic service is started by the manager when the manager starts; an
// on-demand one only by a start request; a disabled one not at all.
constexpr uint32_t SERVICE_AUTO_START = 2;
constexpr uint32_t SERVICE_DEMAND_START = 3;
constexpr uint32_t SERVICE_DISABLED = 4;

// Access rights to the manager.
constexpr uint32_t SC_MANAGER_CONNECT = 0x0001;
constexpr uint32_t SC_MANAGER_CREATE_SERVICE = 0x0002;
constexpr uint32_t SC_MANAGER_ENUMERATE_SERVICE = 0x0004;
constexpr uint32_t SC_MANAGER_LOCK = 0x0008;
constexpr uint32_t SC_MANAGER_QUERY_LOCK_STATUS = 0x0010;
constexpr uint32_t SC_MANAGER_MODIFY_BOOT_CONFIG = 0x0020;
constexpr uint32_t SC_MANAGER_ALL_ACCESS = 0xF003F;

// Access rights to a service.
constexpr uint32_t SERVICE_QUERY_CONFIG = 0x0001;
constexpr uint32_t SERVICE_CHANGE_CONFIG = 0x0002;
constexpr uint32_t SERVICE_QUERY_STATUS = 0x0004;
constexpr uint32_t SERVICE_ENUMERATE_DEPENDENTS = 0x0008;
constexpr uint32_t SERVICE_START = 0x0010;
constexpr uint32_t SERVICE_STOP = 0x0020;
constexpr uint32_t SERVICE_PAUSE_CONTINUE = 0x0040;
constexpr uint32_t SERVICE_INTERROGATE = 0x0080;
constexpr uint32_t SERVICE_USER_DEFINED_CONTROL = 0x0100;
constexpr uint32_t SERVICE_DELETE = 0x00010000; // the standard right to delete the object
constexpr uint32_t SERVICE_ALL_ACCESS = 0xF01FF;

// Generic rights, mapped onto the specific ones above.
constexpr uint32_t GENERIC_READ = 0x80000000;
constexpr uint32_t GENERIC_WRITE = 0x40000000;
constexpr uint32_t GENERIC_EXECUTE = 0x20000000;
constexpr uint32_t GENERIC_ALL = 0x10000000;

// Error codes of the manager (errno values are used for everything else).
constexpr int ERROR_SERVICE_REQUEST_TIMEOUT = 1053;
constexpr int ERROR_SERVICE_ALREADY_RUNNING = 1056;
constexpr int ERROR_SERVICE_DOES_NOT_EXIST = 1060;
constexpr int ERROR_SERVICE_DISABLED = 1058;
constexpr int ERROR_SERVICE_CANNOT_ACCEPT_CTRL = 1061;
constexpr int ERROR_SERVICE_NOT_ACTIVE = 1062;
constexpr int ERROR_SERVICE_SPECIFIC_ERROR = 1066;
constexpr int ERROR_PROCESS_ABORTED = 1067;
constexpr int ERROR_SERVICE_LOGON_FAILED = 1069;
constexpr int ERROR_SERVICE_MARKED_FOR_DELETE = 1072;
constexpr int ERROR_SERVICE_EXISTS = 1073;
constexpr int ERROR_SERVICE_NOT_IN_EXE = 1083;
constexpr int ERROR_SHUTDOWN_IN_PROGRESS = 1115;
constexpr int ERROR_MANAGER_UNAVAILABLE = 1722;

// The logon account that runs a service as root.
inline constexpr const char* LocalSystemAccount = ".\\LocalSystem";

// Status of a service as the manager reports it.
struct TServiceStatus {
    uint32_t ServiceType = SERVICE_WIN32_OWN_PROCESS;
    uint32_t CurrentState = SERVICE_STOPPED;
    uint32_t ControlsAccepted = 0;
    uint32_t Win32ExitCode = 0;
    uint32_t ServiceSpecificExitCode = 0;
    uint32_t CheckPoint = 0;
    uint32_t WaitHint = 0;  // milliseconds
    uint32_t ProcessId = 0; // 0 when no process runs
    // Exit status of the service's last process: its exit code, or 128 + the signal that
    // killed it; -1 while it runs or before it ever ran.
    int32_t ProcessExitCode = -1;

    bool operator==(const TServiceStatus&) const = default;
};

// Registered configuration of a service (the password is never reported back).
struct TServiceConfig {
    std::string ServiceName;
    std::string DisplayName;
    std::string BinaryPathName;   // absolute path of the service program
    std::string ServiceStartName; // logon account
    uint32_t StartType = SERVICE_DEMAND_START;
};

// One line of the manager's service list.
struct TServiceListEntry {
    std::string ServiceName;
    std::string DisplayName;
    TServiceStatus Status;
};
