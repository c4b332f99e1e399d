// Texts of the service manager, its client and the service application framework.
#pragma once

#include <cstdint>

namespace svctext {

// State texts, as the service console shows them.
inline constexpr const char* StateStopped = "Service stopped";
inline constexpr const char* StateStartPending = "Service starting...";
inline constexpr const char* StateStopPending = "Service stopping...";
inline constexpr const char* StateRunning = "Service is running";
inline constexpr const char* StateContinuePending = "Service resuming...";
inline constexpr const char* StatePausePending = "Service pausing...";
inline constexpr const char* StatePaused = "Service paused";
inline constexpr const char* StateUnknown = "Service state unknown";

// Text of a service state (1 to 7); any other value is unknown.
inline const char* ServiceStateText(uint32_t state) {
    switch (state) {
    case 1:
        return StateStopped;
    case 2:
        return StateStartPending;
    case 3:
        return StateStopPending;
    case 4:
        return StateRunning;
    case 5:
        return StateContinuePending;
    case 6:
        return StatePausePending;
    case 7:
        return StatePaused;
    default:
        return StateUnknown;
    }
}

// Error texts of the manager's own error codes.
inline constexpr const char* ErrRequestTimeout =
    "The service did not respond to the request in time.";
inline constexpr const char* ErrAlreadyRunning = "The service is already running.";
inline constexpr const char* ErrDoesNotExist = "The service \"%s\" is not installed.";
inline constexpr const char* ErrCannotAcceptControl =
    "The service cannot accept this control request in its present state.";
inline constexpr const char* ErrNotActive = "The service is not running.";
inline constexpr const char* ErrProcessAborted = "The service process ended unexpectedly.";
inline constexpr const char* ErrLogonFailed =
    "The service did not start: logon failure for the account \"%s\" (%s).";
inline constexpr const char* ErrLogonUnknownUser = "no such user";
inline constexpr const char* ErrAccountRefused = "Logon failure for the account \"%s\" (%s).";
inline constexpr const char* ErrLogonBadPassword = "wrong password or account refused";
inline constexpr const char* ErrMarkedForDelete = "The service has been marked for deletion.";
inline constexpr const char* ErrExists = "The service \"%s\" is already installed.";
inline constexpr const char* ErrNotInExe = "The program of the service does not implement it.";
inline constexpr const char* ErrStoppedAtStart =
    "The service stopped while it was being started (exit code %d).";
inline constexpr const char* ErrShutdownInProgress = "The service manager is shutting down.";
inline constexpr const char* ErrManagerUnavailable = "The service manager is not running (%s).";
inline constexpr const char* ErrManagerNoAnswer = "The service manager did not answer in time.";
inline constexpr const char* ErrManagerBadAnswer = "The service manager sent a malformed answer.";
inline constexpr const char* ErrBadRequest = "Malformed request to the service manager.";
inline constexpr const char* ErrRequestTooLong = "Request to the service manager too long.";
inline constexpr const char* ErrUnknownRequest = "Unknown request to the service manager.";
inline constexpr const char* ErrInvalidName = "Invalid service name.";
inline constexpr const char* ErrInvalidDisplayName = "Invalid display name.";
inline constexpr const char* ErrInvalidPath =
    "The service program must be given with its absolute path.";
inline constexpr const char* ErrInvalidAccount = "Invalid logon account.";
inline constexpr const char* ErrInvalidPassword = "Invalid password.";
inline constexpr const char* ErrInvalidStartType = "Invalid start type.";
inline constexpr const char* ErrNameStartsWithDot =
    "Invalid service name: a service name may not begin with \".\".";
inline constexpr const char* ErrNameTooLong =
    "Invalid service name: a service name may have at most %zu characters.";
inline constexpr const char* ErrServiceDisabled =
    "The service cannot be started because it is disabled.";
inline constexpr const char* ErrTooManyClients =
    "Too many connections to the service manager from this user.";
inline constexpr const char* ErrInvalidControl = "Invalid control code.";
inline constexpr const char* ErrCannotPrepareDirectory =
    "The service did not start: its program directory cannot be opened to the account \"%s\" "
    "(%s).";
inline constexpr const char* ErrPipeNameInvalid = "Invalid pipe name \"%s\".";
inline constexpr const char* ErrPipeNotDeclared =
    "The program of the service does not declare the pipe \"%s\".";
inline constexpr const char* ErrTooManyPipes = "A service may have at most %zu pipe names.";
inline constexpr const char* ErrPipeNameTaken = "The pipe name \"%s\" belongs to service \"%s\".";
inline constexpr const char* ErrHandleClosed = "The handle is not open.";
inline constexpr const char* ErrCannotRun = "Cannot run the service program %s: %s";
inline constexpr const char* ErrCannotSwitchUser = "Cannot switch to the account \"%s\": %s";
inline constexpr const char* ErrCannotSave = "Cannot save the service registry: %s";

// Daemon messages (standard error).
inline constexpr const char* MsgManagerStarted = "svcmgr: service manager running, socket %s";
inline constexpr const char* MsgManagerStopped = "svcmgr: service manager stopped";
inline constexpr const char* MsgAlreadyServing = "another service manager serves %s";
inline constexpr const char* MsgBadRegistryFile = "svcmgr: registry file left out: %s";
inline constexpr const char* MsgAutoStarting = "svcmgr: starting service %s (automatic)";
inline constexpr const char* MsgAutoStartFailed =
    "svcmgr: automatic start of service %s failed: %s (error %d)";
inline constexpr const char* MsgKilledAtShutdown =
    "svcmgr: service %s did not stop in time; killed";

// The administrator's client.
inline constexpr const char* CliUsage =
    "usage: svcmgr run [--shutdown-timeout SECONDS] [--launch-timeout SECONDS]\n"
    "       svcmgr list\n"
    "       svcmgr query NAME\n"
    "       svcmgr start NAME\n"
    "       svcmgr stop NAME\n"
    "       svcmgr starttype NAME auto|demand|disabled\n"
    "       svcmgr config NAME [account USER]   (the password is read from standard input)\n"
    "       svcmgr \\\\PC list | query NAME | start NAME | stop NAME | config NAME ...\n"
    "       svcmgr bridge   (run by ssh from another PC's console or client)\n";

// `svcmgr config`.
inline constexpr const char* CliPasswordPrompt = "Password of %s: ";
inline constexpr const char* CliAccountChanged =
    "The logon account of %s is now %s; it applies from the next start.";

// Start types as `svcmgr query` shows them.
inline constexpr const char* StartTypeAuto = "automatic";
inline constexpr const char* StartTypeDemand = "on demand";
inline constexpr const char* StartTypeDisabled = "disabled";

// The service application framework.
inline constexpr const char* AppNotUnderManager =
    "%s is a service program: the service manager runs it (svcmgr start NAME).\n"
    "Use -INSTALL to register it, -UNINSTALL to remove it (add -SILENT to print nothing).";
inline constexpr const char* AppInstalled = "Service \"%s\" installed.";
inline constexpr const char* AppUninstalled = "Service \"%s\" uninstalled.";
inline constexpr const char* AppInstallFailed = "Service \"%s\" could not be installed: %s";
inline constexpr const char* AppAlreadyInstalledHint =
    "To change its logon account: svcmgr config %s account USER (the password is read from "
    "standard input); its start type: svcmgr starttype %s auto|demand|disabled.";
inline constexpr const char* AppUninstallFailed = "Service \"%s\" could not be uninstalled: %s";
inline constexpr const char* AppServiceFailed = "Service failed on %s: %s";
inline constexpr const char* AppActionStart = "start";
inline constexpr const char* AppActionExecute = "execute";
inline constexpr const char* AppActionStop = "stop";
inline constexpr const char* AppActionShutdown = "shutdown";
inline constexpr const char* AppActionInterrogate = "interrogate";

} // namespace svctext
