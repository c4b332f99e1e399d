#include "tests/support/forked.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace {

int WaitForExit(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            throw std::runtime_error("waitpid failed");
    }
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
}

} // namespace

int RunForked(const std::function<int()>& body) {
    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        int code = 255;
        try {
            code = body();
        } catch (...) {
        }
        _exit(code & 0xFF);
    }
    return WaitForExit(pid);
}

bool DropRootRights() {
    if (geteuid() != 0)
        return true;
    const gid_t nobodyGroup = 65534;
    const uid_t nobody = 65534;
    return setgroups(1, &nobodyGroup) == 0 && setgid(nobodyGroup) == 0 && setuid(nobody) == 0;
}

pid_t StartForked(const std::function<void()>& body) {
    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        try {
            body();
        } catch (...) {
            _exit(255);
        }
        _exit(0);
    }
    return pid;
}

void KillAndReap(pid_t pid) {
    kill(pid, SIGKILL);
    WaitForExit(pid);
}

ChildNotice::ChildNotice() {
    if (pipe2(fds_, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
}

ChildNotice::~ChildNotice() {
    close(fds_[0]);
    close(fds_[1]);
}

void ChildNotice::Notify() {
    char byte = 1;
    (void)!write(fds_[1], &byte, 1);
}

bool ChildNotice::Wait(int timeoutMs) {
    struct pollfd pfd {
        fds_[0], POLLIN, 0
    };
    if (poll(&pfd, 1, timeoutMs) != 1)
        return false;
    char byte;
    return read(fds_[0], &byte, 1) == 1;
}
