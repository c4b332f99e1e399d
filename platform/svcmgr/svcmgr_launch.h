// Launch of a service program by the manager. The manager forks; the child leads a new
// session and executes the program with the service's private channel as file descriptor 3
// (SVCMGR_CHANNEL_FD=3, SVCMGR_SERVICE_NAME=the name) and a fixed, small environment. For a
// user account the child checks the password and opens the account's PAM session. It then
// forks the process that (for a user account) switches to the user and executes the program;
// the child stays as its parent, a child subreaper that kills whatever the program left
// behind when the program ends (or at once on SIGTERM), and closes the session. What goes wrong
// before the program runs comes back on a report pipe that the successful exec closes; the manager
// reads it without blocking.
#pragma once

#include <string>
#include <sys/types.h>

#include "platform/uniquefd.h"

inline constexpr const char* ChannelFdVariable = "SVCMGR_CHANNEL_FD";
inline constexpr const char* ServiceNameVariable = "SVCMGR_SERVICE_NAME";
constexpr int ServiceChannelFd = 3;

struct TLaunchRequest {
    std::string ServiceName;
    std::string BinaryPath;
    std::string StartName;
    std::string Password;
};

struct TLaunchedProcess {
    pid_t Pid = -1;
    TUniqueFd Channel; // the manager's end of the private channel
    TUniqueFd Report;  // read end of the report pipe (non-blocking)
};

// Forks the child that becomes the service; raises EOSError when that cannot be done.
// Call it only from a single-threaded process (the child runs PAM and getpwnam).
TLaunchedProcess LaunchService(const TLaunchRequest& request);

// Outcome of a launch, from everything read from the report pipe up to its end.
struct TLaunchResult {
    bool Ok = true; // the program runs
    int Code = 0;
    std::string Text;
};
TLaunchResult ParseLaunchReport(const std::string& data);
