#include "tests/support/childprocess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace {

bool IsExecutable(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

std::string JoinArgs(const std::vector<std::string>& argv) {
    std::string text;
    for (const std::string& arg : argv)
        text += (text.empty() ? "" : " ") + arg;
    return text;
}

int DecodeStatus(int status) {
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

// posix_spawn attributes and file actions, released on every path.
class SpawnSetup {
public:
    SpawnSetup() {
        posix_spawnattr_init(&attr_);
        posix_spawn_file_actions_init(&actions_);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions_);
        posix_spawnattr_destroy(&attr_);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    // Standard input from `stdinFd` (or /dev/null when -1), output and errors appended to the log;
    // default signal handling and an empty signal mask, whatever the test program changed.
    void Redirect(int stdinFd, const std::string& logPath) {
        if (stdinFd >= 0)
            posix_spawn_file_actions_adddup2(&actions_, stdinFd, 0);
        else
            posix_spawn_file_actions_addopen(&actions_, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions_, 1, logPath.c_str(),
                                         O_WRONLY | O_CREAT | O_APPEND, 0644);
        posix_spawn_file_actions_adddup2(&actions_, 1, 2);
        // No descriptor of the test program (sockets of open transfers) outlives it in a server.
        posix_spawn_file_actions_addclosefrom_np(&actions_, 3);
        sigset_t all;
        sigset_t none;
        sigfillset(&all);
        sigemptyset(&none);
        posix_spawnattr_setsigdefault(&attr_, &all);
        posix_spawnattr_setsigmask(&attr_, &none);
        posix_spawnattr_setflags(&attr_, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    }

    pid_t Spawn(const std::vector<std::string>& argv) {
        if (argv.empty() || argv[0].empty() || argv[0][0] != '/')
            throw std::runtime_error("not an absolute program path: " + JoinArgs(argv));
        std::vector<char*> args;
        for (const std::string& arg : argv)
            args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        pid_t pid = -1;
        int rc = posix_spawn(&pid, argv[0].c_str(), &actions_, &attr_, args.data(), environ);
        if (rc != 0)
            throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
        return pid;
    }

private:
    posix_spawnattr_t attr_;
    posix_spawn_file_actions_t actions_;
};

// A pipe already holding `input`, its write end closed, so the child reads it and then EOF.
class InputPipe {
public:
    explicit InputPipe(const std::string& input) {
        if (pipe2(fds_, O_CLOEXEC) != 0)
            throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
        // Small inputs only: they must fit the pipe buffer since nobody reads yet.
        if (input.size() > 16384 ||
            write(fds_[1], input.data(), input.size()) != static_cast<ssize_t>(input.size())) {
            CloseAll();
            throw std::runtime_error("cannot fill the input pipe");
        }
        close(fds_[1]);
        fds_[1] = -1;
    }
    ~InputPipe() { CloseAll(); }
    InputPipe(const InputPipe&) = delete;
    InputPipe& operator=(const InputPipe&) = delete;

    int ReadFd() const { return fds_[0]; }

private:
    void CloseAll() {
        for (int& fd : fds_) {
            if (fd >= 0)
                close(fd);
            fd = -1;
        }
    }
    int fds_[2] = {-1, -1};
};

int WaitFor(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            throw std::runtime_error(std::string("waitpid: ") + std::strerror(errno));
    }
    return status;
}

} // namespace

std::string FindProgram(const std::string& name) {
    if (name.find('/') != std::string::npos)
        return IsExecutable(name) ? name : "";
    const char* env = std::getenv("PATH");
    std::string dirs = std::string(env ? env : "") + ":/usr/local/sbin:/usr/sbin:/sbin";
    std::istringstream in(dirs);
    std::string dir;
    while (std::getline(in, dir, ':')) {
        if (dir.empty() || dir[0] != '/')
            continue;
        std::string candidate = dir + "/" + name;
        if (IsExecutable(candidate))
            return candidate;
    }
    return "";
}

int RunCommand(const std::vector<std::string>& argv, const std::string& logPath,
               const std::string& input) {
    InputPipe stdinPipe(input);
    SpawnSetup setup;
    setup.Redirect(stdinPipe.ReadFd(), logPath);
    return DecodeStatus(WaitFor(setup.Spawn(argv)));
}

void RunCommandOrThrow(const std::vector<std::string>& argv, const std::string& logPath,
                       const std::string& input) {
    int status = RunCommand(argv, logPath, input);
    if (status != 0)
        throw std::runtime_error(JoinArgs(argv) + " ended with status " + std::to_string(status) +
                                 ":\n" + LogTail(logPath));
}

std::string LogTail(const std::string& logPath, size_t maxBytes) {
    std::ifstream in(logPath, std::ios::binary);
    std::ostringstream buffer;
    buffer << in.rdbuf();
    std::string text = buffer.str();
    return text.size() > maxBytes ? text.substr(text.size() - maxBytes) : text;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& logPath) {
    SpawnSetup setup;
    setup.Redirect(-1, logPath);
    pid_ = setup.Spawn(argv);
}

ChildProcess::~ChildProcess() {
    try {
        Stop();
    } catch (...) {
        // A destructor cannot report; the process is gone or was never started.
    }
}

bool ChildProcess::HasExited() {
    if (reaped_)
        return true;
    int status = 0;
    pid_t rc = waitpid(pid_, &status, WNOHANG);
    if (rc == pid_) {
        reaped_ = true;
        status_ = DecodeStatus(status);
    }
    return reaped_;
}

void ChildProcess::Stop(std::chrono::milliseconds grace) {
    if (pid_ <= 0 || HasExited())
        return;
    kill(pid_, SIGTERM);
    auto deadline = std::chrono::steady_clock::now() + grace;
    while (!HasExited() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    if (reaped_)
        return;
    kill(pid_, SIGKILL);
    status_ = DecodeStatus(WaitFor(pid_));
    reaped_ = true;
}
