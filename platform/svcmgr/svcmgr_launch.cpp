#include "platform/svcmgr/svcmgr_launch.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <linux/close_range.h>
#include <pwd.h>
#include <sys/prctl.h>
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

// The program's process, for the launcher's SIGTERM handler.
volatile sig_atomic_t ProgramPid = 0;

// SIGTERM to the launcher (the manager's kill of a service) ends the program at once; the
// launcher then ends everything else it started, as when the program ends by itself.
void OnEndRequest(int) {
    if (ProgramPid > 0)
        kill(ProgramPid, SIGKILL);
}

// The launcher adopts every process that the program leaves behind (a daemon started with
// setsid, say), so that it can end them with the program.
void BecomeSubreaper(int reportFd) {
    if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0)
        Fail(reportFd, errno, SysErrorMessage(errno));
}

// Forks the program's process, with SIGTERM handled from the moment its pid is known.
pid_t ForkProgram(int reportFd) {
    sigset_t term, previous;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    sigprocmask(SIG_BLOCK, &term, &previous);
    struct sigaction action {};
    action.sa_handler = OnEndRequest;
    sigaction(SIGTERM, &action, nullptr);
    pid_t program = fork();
    if (program < 0)
        Fail(reportFd, errno, SysErrorMessage(errno));
    if (program == 0)
        signal(SIGTERM, SIG_DFL);
    else
        ProgramPid = program;
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    return program;
}

// In the program's process, once it has its account's rights: it dies with its launcher, so
// that a launcher killed outright takes the program along.
void EndWithLauncher(pid_t launcher, int reportFd) {
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0)
        Fail(reportFd, errno, SysErrorMessage(errno));
    if (getppid() != launcher)
        _exit(127);
}

// The processes whose parent is the launcher, read from /proc.
std::vector<pid_t> LauncherChildren() {
    std::vector<pid_t> children;
    const pid_t self = getpid();
    DIR* proc = opendir("/proc");
    if (!proc)
        return children;
    while (dirent* entry = readdir(proc)) {
        char* end = nullptr;
        long pid = std::strtol(entry->d_name, &end, 10);
        if (pid <= 0 || *end != '\0')
            continue;
        std::ifstream stat(std::string("/proc/") + entry->d_name + "/stat");
        std::string line;
        std::getline(stat, line);
        // "pid (name) state ppid ...": the name may hold anything, so look after its last ')'.
        size_t close = line.rfind(')');
        char state = 0;
        long parent = 0;
        if (close != std::string::npos &&
            std::sscanf(line.c_str() + close + 1, " %c %ld", &state, &parent) == 2 &&
            parent == self)
            children.push_back(static_cast<pid_t>(pid));
    }
    closedir(proc);
    return children;
}

// Kills and reaps every process the launcher has adopted, and those they leave in turn, until
// it has no child left (a process stuck in the kernel is given up after 5 s).
void EndLeftovers() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline) {
        for (pid_t child : LauncherChildren())
            kill(child, SIGKILL);
        int status = 0;
        pid_t done;
        while ((done = waitpid(-1, &status, WNOHANG)) > 0) {
        }
        if (done < 0 && errno == ECHILD)
            return;
        usleep(2000);
    }
}

// Stays with a service for its whole life as its parent (as root for a user account, holding
// its PAM session): waits for the program's process, reaping the processes it adopts
// meanwhile, then ends whatever the program left behind, closes the session and ends with the
// program's exit status. SIGTERM ends the program first; only SIGKILL ends the launcher before.
[[noreturn]] void KeepSession(TLogonSession& session, pid_t service, int reportFd) {
    for (int sig : {SIGINT, SIGHUP, SIGQUIT})
        signal(sig, SIG_IGN);
    // The channel and the report pipe belong to the service alone: the manager sees their
    // ends when the service's own ends go.
    close(ServiceChannelFd);
    close(reportFd);
    int waitStatus = 0;
    bool ended = false;
    while (!ended) {
        // Seen before it is reaped, so that the SIGTERM handler never signals a pid that was
        // freed and perhaps given to another process.
        siginfo_t info{};
        if (waitid(P_ALL, 0, &info, WEXITED | WNOWAIT) != 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        ended = info.si_pid == service;
        if (ended)
            ProgramPid = 0;
        while (waitpid(info.si_pid, &waitStatus, 0) < 0 && errno == EINTR) {
        }
    }
    EndLeftovers();
    session.Close();
    if (ended && WIFSIGNALED(waitStatus))
        _exit(128 + WTERMSIG(waitStatus));
    _exit(ended && WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : 127);
}

[[noreturn]] void RunChild(const TLaunchRequest& request, int channelFd, int reportFd) {
    ResetSignals();
    setsid();
    TLogonAccount account = ParseLogonAccount(request.StartName);
    ArrangeDescriptors(channelFd, reportFd, !account.LocalSystem);
    BecomeSubreaper(reportFd);
    TLogonSession session;
    const passwd* user =
        account.LocalSystem ? getpwuid(geteuid()) : LogOn(request, account, session, reportFd);
    // The launcher is still root: it opens the program directory to the account, or takes it
    // back for root.
    std::string why;
    if (account.LocalSystem)
        PrepareProgramDirectory(request.BinaryPath, geteuid(), getegid(), why);
    else if (!PrepareProgramDirectory(request.BinaryPath, user->pw_uid, user->pw_gid, why))
        Fail(reportFd, EACCES,
             svcproto::Format(svctext::ErrCannotPrepareDirectory, request.StartName.c_str(),
                              why.c_str()));
    const pid_t launcher = getpid();
    pid_t service = ForkProgram(reportFd);
    if (service == 0) {
        if (!account.LocalSystem)
            SwitchUser(request, user, reportFd);
        EndWithLauncher(launcher, reportFd);
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
