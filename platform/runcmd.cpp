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
#include <thread>

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

// Only async-signal-safe calls between fork and exec: the parent prepared everything.
[[noreturn]] void ExecChild(const char* program, char* const argv[], int outFd, int nullFd,
                            int errFd) {
    setpgid(0, 0);
    if (dup2(nullFd, STDIN_FILENO) < 0 || dup2(outFd, STDOUT_FILENO) < 0 ||
        dup2(nullFd, STDERR_FILENO) < 0) {
        int e = errno;
        (void)!write(errFd, &e, sizeof e);
        _exit(127);
    }
    execv(program, argv);
    int e = errno;
    (void)!write(errFd, &e, sizeof e);
    _exit(127);
}

int RemainingMs(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(std::min<long long>(left.count(), 1 << 30));
}

// Reads the child's output until end of file or the deadline; false at the deadline.
bool ReadOutput(int fd, Clock::time_point deadline, size_t maxOutput, std::string& out) {
    char buffer[4096];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        int ready = poll(&p, 1, RemainingMs(deadline));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return true;
        const size_t keep = std::min(static_cast<size_t>(n), maxOutput - out.size());
        out.append(buffer, keep);
    }
}

// Waits for the child until the deadline; false when it is still running then.
bool WaitChild(pid_t pid, Clock::time_point deadline, int& status) {
    for (;;) {
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid)
            return true;
        if (r < 0 && errno != EINTR) {
            // Reaped elsewhere (SIGCHLD ignored): the outcome is unknown, so not a success.
            status = 255 << 8;
            return true;
        }
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void KillGroup(pid_t pid) {
    if (kill(-pid, SIGKILL) != 0)
        kill(pid, SIGKILL);
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
                         std::chrono::milliseconds timeout, size_t maxOutput) {
    CommandResult result;
    const Clock::time_point deadline = Clock::now() + timeout;

    std::vector<std::string> argStore = args.empty() ? std::vector<std::string>{program} : args;
    std::vector<char*> argv;
    for (std::string& a : argStore)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    Pipe out, err;
    TUniqueFd devNull(open("/dev/null", O_RDWR | O_CLOEXEC));
    if (devNull.Get() < 0 || !out.Open() || !err.Open() || !AboveStandardDescriptors(devNull) ||
        !AboveStandardDescriptors(out.write) || !AboveStandardDescriptors(err.write)) {
        result.Error = errno;
        return result;
    }
    pid_t pid = fork();
    if (pid < 0) {
        result.Error = errno;
        return result;
    }
    if (pid == 0)
        ExecChild(program.c_str(), argv.data(), out.write.Get(), devNull.Get(), err.write.Get());

    setpgid(pid, pid); // also done by the child; whichever runs first wins the race
    out.write.Reset();
    err.write.Reset();

    int execError = 0;
    ssize_t n;
    do {
        n = read(err.read.Get(), &execError, sizeof execError);
    } while (n < 0 && errno == EINTR);
    int status = 0;
    if (n == static_cast<ssize_t>(sizeof execError)) {
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        result.Error = execError;
        return result;
    }

    const bool ended = ReadOutput(out.read.Get(), deadline, maxOutput, result.Output) &&
                       WaitChild(pid, deadline, status);
    if (!ended) {
        KillGroup(pid);
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        result.Status = CommandResult::Outcome::TimedOut;
        return result;
    }
    if (WIFEXITED(status)) {
        result.Status = CommandResult::Outcome::Exited;
        result.ExitCode = WEXITSTATUS(status);
    } else {
        result.Status = CommandResult::Outcome::Signalled;
    }
    return result;
}
