#include "platform/runcmd.h"

#include "platform/uniquefd.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <string_view>

namespace {

using Clock = std::chrono::steady_clock;

struct Pipe {
    TUniqueFd read, write;
    bool Open() {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0)
            return false;
        read.Reset(fds[0]);
        write.Reset(fds[1]);
        return true;
    }
};

// Moves `fd` to a number above 2. A caller started with a standard descriptor closed gets
// /dev/null or a pipe on that number; the child's dup2 onto 0, 1 and 2 would then overwrite
// it, or leave it close-on-exec.
bool AboveStandardDescriptors(TUniqueFd& fd) {
    if (fd.Get() > STDERR_FILENO)
        return true;
    const int moved = fcntl(fd.Get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (moved < 0)
        return false;
    fd.Reset(moved);
    return true;
}

// Only async-signal-safe calls between fork and exec: the parent prepared everything. The
// child starts with a clean signal mask (the parent may block SIGPIPE while it feeds the
// input) and SIGPIPE at its default (a caller may ignore it, and that would be inherited).
[[noreturn]] void ExecChild(const char* program, char* const argv[], int inFd, int outFd,
                            int errorsFd, int execErrorFd, const sigset_t& noSignals,
                            const struct sigaction& pipeDefault) {
    setpgid(0, 0);
    sigaction(SIGPIPE, &pipeDefault, nullptr);
    sigprocmask(SIG_SETMASK, &noSignals, nullptr);
    if (dup2(inFd, STDIN_FILENO) < 0 || dup2(outFd, STDOUT_FILENO) < 0 ||
        dup2(errorsFd, STDERR_FILENO) < 0) {
        int e = errno;
        (void)!write(execErrorFd, &e, sizeof e);
        _exit(127);
    }
    execv(program, argv);
    int e = errno;
    (void)!write(execErrorFd, &e, sizeof e);
    _exit(127);
}

// The longest wait between two looks at the caller's Canceled check.
constexpr int CancelPollMs = 200;

int RemainingMs(Clock::time_point deadline, int most) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, most));
}

// Appends what is ready on the non-blocking `fd` to `out`, keeping at most `limit` bytes;
// false at end of file (or on a read error).
bool ReadAvailable(int fd, size_t limit, std::string& out) {
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) {
            const size_t room = limit - std::min(limit, out.size());
            out.append(buffer, std::min(static_cast<size_t>(n), room));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        return n < 0 && errno == EAGAIN;
    }
}

// Blocks SIGPIPE for this thread while it lives, so that writing to a program that has gone
// away fails with EPIPE instead of ending the caller; a SIGPIPE raised meanwhile is taken off
// again.
class TSigPipeBlock {
public:
    TSigPipeBlock() {
        sigemptyset(&pipeOnly_);
        sigaddset(&pipeOnly_, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipeOnly_, &previous_);
        sigset_t pending;
        sigpending(&pending);
        wasPending_ = sigismember(&pending, SIGPIPE) == 1;
    }
    ~TSigPipeBlock() {
        sigset_t pending;
        if (!wasPending_ && sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
            const timespec none{};
            sigtimedwait(&pipeOnly_, nullptr, &none);
        }
        pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }
    TSigPipeBlock(const TSigPipeBlock&) = delete;
    TSigPipeBlock& operator=(const TSigPipeBlock&) = delete;

private:
    sigset_t pipeOnly_{}, previous_{};
    bool wasPending_ = false;
};

void KillGroup(pid_t pid) {
    if (kill(-pid, SIGKILL) != 0)
        kill(pid, SIGKILL);
}

void Reap(pid_t pid, int& status) {
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

} // namespace

std::string FindOnPath(const std::string& name) {
    auto executable = [](const std::string& path) {
        struct stat st {};
        return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
               access(path.c_str(), X_OK) == 0;
    };
    if (name.empty())
        return {};
    if (name.find('/') != std::string::npos)
        return executable(name) ? name : std::string();
    const char* env = getenv("PATH");
    const std::string path = env ? env : "/usr/local/bin:/usr/bin:/bin";
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(':', start);
        if (end == std::string::npos)
            end = path.size();
        std::string candidate = end > start ? path.substr(start, end - start) : ".";
        candidate += '/';
        candidate += name;
        if (executable(candidate))
            return candidate;
        start = end + 1;
    }
    return {};
}

CommandResult RunCommand(const std::string& program, const std::vector<std::string>& args,
                         std::chrono::milliseconds timeout, const CommandOptions& options) {
    CommandResult result;
    const Clock::time_point deadline = Clock::now() + timeout;

    std::vector<std::string> argStore = args.empty() ? std::vector<std::string>{program} : args;
    std::vector<char*> argv;
    for (std::string& a : argStore)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    sigset_t noSignals;
    sigemptyset(&noSignals);
    struct sigaction pipeDefault {};
    pipeDefault.sa_handler = SIG_DFL;
    sigemptyset(&pipeDefault.sa_mask);

    // The child's ends must not sit on 0 to 2, where its own dup2 calls would overwrite them.
    Pipe in, out, errors, execError;
    TUniqueFd devNull(open("/dev/null", O_RDWR | O_CLOEXEC));
    bool ready = devNull.Get() >= 0 && AboveStandardDescriptors(devNull) && out.Open() &&
                 AboveStandardDescriptors(out.write) && execError.Open() &&
                 AboveStandardDescriptors(execError.write);
    if (ready && options.Input)
        ready = in.Open() && AboveStandardDescriptors(in.read);
    if (ready && options.CollectErrors)
        ready = errors.Open() && AboveStandardDescriptors(errors.write);
    if (!ready) {
        result.Error = errno;
        return result;
    }
    const int childIn = options.Input ? in.read.Get() : devNull.Get();
    const int childErrors = options.CollectErrors ? errors.write.Get() : devNull.Get();

    // Blocked from before the fork to the last write, as the program may go away at any
    // moment; the child clears the mask it inherits.
    std::optional<TSigPipeBlock> noSigPipe;
    if (options.Input)
        noSigPipe.emplace();
    pid_t pid = fork();
    if (pid < 0) {
        result.Error = errno;
        return result;
    }
    if (pid == 0)
        ExecChild(program.c_str(), argv.data(), childIn, out.write.Get(), childErrors,
                  execError.write.Get(), noSignals, pipeDefault);

    setpgid(pid, pid); // also done by the child; whichever runs first wins the race
    in.read.Reset();
    out.write.Reset();
    errors.write.Reset();
    execError.write.Reset();

    int execErrno = 0;
    ssize_t n;
    do {
        n = read(execError.read.Get(), &execErrno, sizeof execErrno);
    } while (n < 0 && errno == EINTR);
    int status = 0;
    if (n == static_cast<ssize_t>(sizeof execErrno)) {
        Reap(pid, status);
        result.Error = execErrno;
        return result;
    }

    for (TUniqueFd* fd : {&in.write, &out.read, &errors.read})
        if (*fd)
            fcntl(fd->Get(), F_SETFL, fcntl(fd->Get(), F_GETFL) | O_NONBLOCK);
    const std::string_view input = options.Input.value_or(std::string_view());
    size_t written = 0;
    if (in.write && input.empty())
        in.write.Reset();

    // Feeds the input while reading the output, so that neither side can block the other;
    // once the input is done, waits for the program to end. Short waits then: a program may
    // leave a helper holding its output open after it has ended.
    for (;;) {
        if (Clock::now() >= deadline) {
            KillGroup(pid);
            Reap(pid, status);
            result.Status = CommandResult::Outcome::TimedOut;
            return result;
        }
        if (options.Canceled && options.Canceled()) {
            KillGroup(pid);
            Reap(pid, status);
            result.Status = CommandResult::Outcome::Canceled;
            return result;
        }
        pollfd fds[3];
        nfds_t count = 0;
        if (in.write)
            fds[count++] = {in.write.Get(), POLLOUT, 0};
        if (out.read)
            fds[count++] = {out.read.Get(), POLLIN, 0};
        if (errors.read)
            fds[count++] = {errors.read.Get(), POLLIN, 0};
        poll(fds, count, RemainingMs(deadline, in.write ? CancelPollMs : 20));

        if (in.write) {
            const ssize_t w = write(in.write.Get(), input.data() + written, input.size() - written);
            if (w > 0)
                written += static_cast<size_t>(w);
            else if (w < 0 && errno != EAGAIN && errno != EINTR)
                result.InputError = errno;
            if (result.InputError || written == input.size())
                in.write.Reset();
        }
        if (out.read && !ReadAvailable(out.read.Get(), options.MaxOutput, result.Output))
            out.read.Reset();
        if (errors.read && !ReadAvailable(errors.read.Get(), options.MaxErrors, result.Errors))
            errors.read.Reset();
        if (in.write)
            continue;
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0) {
            // Reaped elsewhere (SIGCHLD ignored): the outcome is unknown, so not a success.
            status = 255 << 8;
        } else if (r != pid) {
            continue;
        }
        break;
    }
    if (out.read)
        ReadAvailable(out.read.Get(), options.MaxOutput, result.Output);
    if (errors.read)
        ReadAvailable(errors.read.Get(), options.MaxErrors, result.Errors);

    if (WIFEXITED(status)) {
        result.Status = CommandResult::Outcome::Exited;
        result.ExitCode = WEXITSTATUS(status);
    } else {
        result.Status = CommandResult::Outcome::Signalled;
        result.Signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    }
    return result;
}

CommandResult RunCommand(const std::string& program, const std::vector<std::string>& args,
                         std::chrono::milliseconds timeout, size_t maxOutput) {
    CommandOptions options;
    options.MaxOutput = maxOutput;
    return RunCommand(program, args, timeout, options);
}
