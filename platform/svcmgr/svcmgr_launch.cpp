#include "platform/svcmgr/svcmgr_launch.h"

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
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "platform/errors.h"
#include "platform/svcmgr/svcmgr_logon.h"
#include "platform/svcmgr/svcmgr_progdir.h"
#include "platform/svcmgr/svcmgr_proto.h"
#include "platform/svcmgr/svcmgr_texts.h"
#include "platform/svcmgr/svcmgr_types.h"

extern char** environ;

namespace {

// PATH of a service: the system's directories (the sbin ones for root only).
constexpr const char* RootPath = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
constexpr const char* UserPath = "/usr/local/bin:/usr/bin:/bin";

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

void CloseRange(unsigned first, unsigned last, unsigned flags) {
    if (first > last)
        return;
    if (syscall(SYS_close_range, first, last, flags) != 0) {
        for (unsigned fd = first; fd <= last && fd < 1024; ++fd) {
            if (flags & CLOSE_RANGE_CLOEXEC)
                fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
            else
                close(static_cast<int>(fd));
        }
    }
}

// fd 0 reads /dev/null, fd 3 is the channel; the manager's other descriptors are closed, as
// the child may live on without exec (it holds a PAM session). A service under a user account
// also writes to /dev/null: the manager's own output (its log) is no business of another
// account's.
void ArrangeDescriptors(int channelFd, int reportFd, bool quietOutput) {
    int devNull = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (devNull < 0 || dup2(devNull, 0) < 0)
        Fail(reportFd, errno, SysErrorMessage(errno));
    if (quietOutput && (dup2(devNull, 1) < 0 || dup2(devNull, 2) < 0))
        Fail(reportFd, errno, SysErrorMessage(errno));
    if (dup2(channelFd, ServiceChannelFd) < 0)
        Fail(reportFd, errno, SysErrorMessage(errno));
    unsigned report = static_cast<unsigned>(reportFd);
    CloseRange(ServiceChannelFd + 1, report - 1, 0);
    CloseRange(report + 1, ~0U, 0);
}

bool StartsWith(const char* entry, const char* prefix) {
    return std::strncmp(entry, prefix, std::strlen(prefix)) == 0;
}

// A fixed, small environment: nothing of the manager's own reaches a service but its locale,
// its time zone and SVCMGR_ROOT; then the account's HOME, USER, LOGNAME and SHELL, a PATH of
// the system's directories, the channel and the service name.
std::vector<std::string> BuildEnvironment(const TLaunchRequest& request, const passwd* user) {
    std::vector<std::string> env;
    for (char** e = environ; e && *e; ++e) {
        if (StartsWith(*e, "LANG=") || StartsWith(*e, "LC_") || StartsWith(*e, "TZ=") ||
            StartsWith(*e, "SVCMGR_ROOT="))
            env.emplace_back(*e);
    }
    bool root = user ? user->pw_uid == 0 : geteuid() == 0;
    env.push_back(std::string("PATH=") + (root ? RootPath : UserPath));
    if (user) {
        env.push_back(std::string("HOME=") + user->pw_dir);
        env.push_back(std::string("USER=") + user->pw_name);
        env.push_back(std::string("LOGNAME=") + user->pw_name);
        env.push_back(std::string("SHELL=") + user->pw_shell);
    }
    env.push_back(std::string(ChannelFdVariable) + "=" + std::to_string(ServiceChannelFd));
    env.push_back(std::string(ServiceNameVariable) + "=" + request.ServiceName);
    return env;
}

// Checks the account's password and opens its PAM session; fails the launch otherwise.
const passwd* LogOn(const TLaunchRequest& request, const TLogonAccount& account,
                    TLogonSession& session, int reportFd) {
    const passwd* user = getpwnam(account.UserName.c_str());
    if (!user)
        Fail(reportFd, ERROR_SERVICE_LOGON_FAILED,
             svcproto::Format(svctext::ErrLogonFailed, request.StartName.c_str(),
                              svctext::ErrLogonUnknownUser));
    std::string why;
    if (!session.Authenticate(account.UserName, request.Password, why))
        Fail(reportFd, ERROR_SERVICE_LOGON_FAILED,
             svcproto::Format(svctext::ErrLogonFailed, request.StartName.c_str(),
                              why.empty() ? svctext::ErrLogonBadPassword : why.c_str()));
    if (!session.OpenSession(why))
        Fail(reportFd, ERROR_SERVICE_LOGON_FAILED,
             svcproto::Format(svctext::ErrLogonFailed, request.StartName.c_str(), why.c_str()));
    // The entry again: PAM modules may have called getpwnam themselves.
    user = getpwnam(account.UserName.c_str());
    if (!user)
        Fail(reportFd, ERROR_SERVICE_LOGON_FAILED,
             svcproto::Format(svctext::ErrLogonFailed, request.StartName.c_str(),
                              svctext::ErrLogonUnknownUser));
    return user;
}

void SwitchUser(const TLaunchRequest& request, const passwd* user, int reportFd) {
    errno = 0;
    if (initgroups(user->pw_name, user->pw_gid) != 0 || setgid(user->pw_gid) != 0 ||
        setuid(user->pw_uid) != 0 || (user->pw_uid != 0 && setuid(0) == 0)) {
        int code = errno ? errno : EPERM;
        Fail(reportFd, code,
             svcproto::Format(svctext::ErrCannotSwitchUser, request.StartName.c_str(),
                              SysErrorMessage(code).c_str()));
    }
}

[[noreturn]] void Exec(const TLaunchRequest& request, const passwd* user, int reportFd) {
    std::vector<std::string> env = BuildEnvironment(request, user);
    std::vector<char*> envp;
    for (auto& entry : env)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    // Whatever PAM opened stays behind; the report pipe closes on success.
    CloseRange(ServiceChannelFd + 1, ~0U, CLOSE_RANGE_CLOEXEC);
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

// Stays with a service under a user account for its whole life, as root, holding its PAM
// session: waits for the service's process, closes the session and ends with the same exit
// status. Only SIGKILL (the manager's, for the whole process group) ends it before.
[[noreturn]] void KeepSession(TLogonSession& session, pid_t service, int reportFd) {
    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGQUIT})
        signal(sig, SIG_IGN);
    // The channel and the report pipe belong to the service alone: the manager sees their
    // ends when the service's own ends go.
    close(ServiceChannelFd);
    close(reportFd);
    int waitStatus = 0;
    pid_t done;
    do
        done = waitpid(service, &waitStatus, 0);
    while (done < 0 && errno == EINTR);
    session.Close();
    if (done == service && WIFSIGNALED(waitStatus))
        _exit(128 + WTERMSIG(waitStatus));
    _exit(done == service && WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : 127);
}

[[noreturn]] void RunChild(const TLaunchRequest& request, int channelFd, int reportFd) {
    ResetSignals();
    setsid();
    TLogonAccount account = ParseLogonAccount(request.StartName);
    ArrangeDescriptors(channelFd, reportFd, !account.LocalSystem);
    std::string why;
    if (account.LocalSystem) {
        PrepareProgramDirectory(request.BinaryPath, geteuid(), getegid(), why);
        Exec(request, getpwuid(geteuid()), reportFd);
    }
    TLogonSession session;
    const passwd* user = LogOn(request, account, session, reportFd);
    if (!PrepareProgramDirectory(request.BinaryPath, user->pw_uid, user->pw_gid, why))
        Fail(reportFd, EACCES,
             svcproto::Format(svctext::ErrCannotPrepareDirectory, request.StartName.c_str(),
                              why.c_str()));
    pid_t service = fork();
    if (service < 0)
        Fail(reportFd, errno, SysErrorMessage(errno));
    if (service == 0) {
        SwitchUser(request, user, reportFd);
        Exec(request, user, reportFd);
    }
    KeepSession(session, service, reportFd);
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
