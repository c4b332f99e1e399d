#include "platform/svcmgr_launch.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <linux/close_range.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

#include "platform/errors.h"
#include "platform/svcmgr_logon.h"
#include "platform/svcmgr_proto.h"
#include "platform/svcmgr_texts.h"
#include "platform/svcmgr_types.h"

extern char** environ;

namespace {

// Writes the failure to the report pipe and ends the child.
[[noreturn]] void Fail(int reportFd, int code, const std::string& text) {
    svcproto::TWireWriter out;
    out.U32(static_cast<uint32_t>(code));
    out.Str(text.substr(0, 1024));
    const std::string& data = out.Data();
    ssize_t ignored = write(reportFd, data.data(), data.size());
    (void)ignored;
    _exit(127);
}

void ResetSignals() {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int sig : {SIGPIPE, SIGCHLD, SIGTERM, SIGINT, SIGHUP, SIGQUIT})
        signal(sig, SIG_DFL);
}

// fd 0 reads /dev/null, fd 3 is the channel; every other descriptor above 2 is closed at exec.
void ArrangeDescriptors(int channelFd, int reportFd) {
    int devNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (devNull < 0 || dup2(devNull, 0) < 0)
        Fail(reportFd, errno, SysErrorMessage(errno));
    if (dup2(channelFd, ServiceChannelFd) < 0)
        Fail(reportFd, errno, SysErrorMessage(errno));
    if (syscall(SYS_close_range, ServiceChannelFd + 1, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
        for (int fd = ServiceChannelFd + 1; fd < 1024; ++fd)
            fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
}

bool StartsWith(const char* entry, const char* prefix) {
    return std::strncmp(entry, prefix, std::strlen(prefix)) == 0;
}

// The manager's environment (which carries SVCMGR_ROOT to the service), the channel and the
// service name, and for a user account that user's HOME, USER, LOGNAME and SHELL.
std::vector<std::string> BuildEnvironment(const TLaunchRequest& request, const passwd* user) {
    static const char* const ownVariables[] = {"SVCMGR_CHANNEL_FD=", "SVCMGR_SERVICE_NAME="};
    static const char* const userVariables[] = {"HOME=", "USER=", "LOGNAME=", "SHELL="};
    std::vector<std::string> env;
    for (char** e = environ; e && *e; ++e) {
        bool drop = false;
        for (const char* name : ownVariables)
            drop = drop || StartsWith(*e, name);
        for (const char* name : userVariables)
            drop = drop || (user && StartsWith(*e, name));
        if (!drop)
            env.emplace_back(*e);
    }
    env.push_back(std::string(ChannelFdVariable) + "=" + std::to_string(ServiceChannelFd));
    env.push_back(std::string(ServiceNameVariable) + "=" + request.ServiceName);
    if (user) {
        env.push_back(std::string("HOME=") + user->pw_dir);
        env.push_back(std::string("USER=") + user->pw_name);
        env.push_back(std::string("LOGNAME=") + user->pw_name);
        env.push_back(std::string("SHELL=") + user->pw_shell);
    }
    return env;
}

// Checks the account and switches to its user; returns the user (nullptr for LocalSystem).
const passwd* LogOn(const TLaunchRequest& request, int reportFd) {
    TLogonAccount account = ParseLogonAccount(request.StartName);
    if (account.LocalSystem)
        return nullptr;
    const passwd* user = getpwnam(account.UserName.c_str());
    if (!user)
        Fail(reportFd, ERROR_SERVICE_LOGON_FAILED,
             svcproto::Format(svctext::ErrLogonFailed, request.StartName.c_str(),
                              svctext::ErrLogonUnknownUser));
    std::string why;
    if (!CheckLogonPassword(account.UserName, request.Password, why))
        Fail(reportFd, ERROR_SERVICE_LOGON_FAILED,
             svcproto::Format(svctext::ErrLogonFailed, request.StartName.c_str(),
                              why.empty() ? svctext::ErrLogonBadPassword : why.c_str()));
    // The entry again: PAM modules may have called getpwnam themselves.
    user = getpwnam(account.UserName.c_str());
    if (!user || initgroups(user->pw_name, user->pw_gid) != 0 || setgid(user->pw_gid) != 0 ||
        setuid(user->pw_uid) != 0 || (user->pw_uid != 0 && setuid(0) == 0)) {
        int code = errno ? errno : EPERM;
        Fail(reportFd, code,
             svcproto::Format(svctext::ErrCannotSwitchUser, request.StartName.c_str(),
                              SysErrorMessage(code).c_str()));
    }
    return user;
}

[[noreturn]] void RunChild(const TLaunchRequest& request, int channelFd, int reportFd) {
    ResetSignals();
    setsid();
    ArrangeDescriptors(channelFd, reportFd);
    const passwd* user = LogOn(request, reportFd);
    std::vector<std::string> env = BuildEnvironment(request, user);
    std::vector<char*> envp;
    for (auto& entry : env)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::string program = request.BinaryPath;
    char* argv[] = {program.data(), nullptr};
    umask(022);
    if (chdir("/") != 0)
        Fail(reportFd, errno, SysErrorMessage(errno));
    execve(program.c_str(), argv, envp.data());
    int code = errno;
    Fail(reportFd, code,
         svcproto::Format(svctext::ErrCannotRun, program.c_str(), SysErrorMessage(code).c_str()));
}

} // namespace

TLaunchedProcess LaunchService(const TLaunchRequest& request) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0)
        throw OSErrorFromErrno(errno);
    TUniqueFd managerEnd(pair[0]), serviceEnd(pair[1]);
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0)
        throw OSErrorFromErrno(errno);
    TUniqueFd reportRead(pipeFds[0]), reportWrite(pipeFds[1]);

    // Both child ends well above fd 3, so that moving the channel to 3 clobbers nothing.
    TUniqueFd childChannel(fcntl(serviceEnd.Get(), F_DUPFD_CLOEXEC, 10));
    TUniqueFd childReport(fcntl(reportWrite.Get(), F_DUPFD_CLOEXEC, 10));
    if (!childChannel || !childReport)
        throw OSErrorFromErrno(errno);

    pid_t pid = fork();
    if (pid < 0)
        throw OSErrorFromErrno(errno);
    if (pid == 0)
        RunChild(request, childChannel.Get(), childReport.Get());

    fcntl(reportRead.Get(), F_SETFL, O_NONBLOCK);
    fcntl(managerEnd.Get(), F_SETFL, O_NONBLOCK);
    TLaunchedProcess launched;
    launched.Pid = pid;
    launched.Channel = std::move(managerEnd);
    launched.Report = std::move(reportRead);
    return launched;
}

TLaunchResult ParseLaunchReport(const std::string& data) {
    TLaunchResult result;
    if (data.empty())
        return result;
    result.Ok = false;
    try {
        svcproto::TWireReader in(data);
        result.Code = static_cast<int>(in.U32());
        result.Text = in.Str();
        in.ExpectEnd();
    } catch (const EOSError&) {
        result.Code = ERROR_PROCESS_ABORTED;
        result.Text = svctext::ErrProcessAborted;
    }
    if (result.Code == 0)
        result.Code = ERROR_PROCESS_ABORTED;
    return result;
}
