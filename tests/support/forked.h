// Running a piece of a test in a forked child: for code that must be killed in the middle of
// its work, or that must run with other rights or limits than the test process.
#pragma once

#include <sys/types.h>

#include <functional>

// Runs `body` in a forked child and waits for it; returns its exit status (the value `body`
// returned, 0 to 255), or 128 + the signal number when a signal ended it. Exceptions that
// leave `body` give 255. The child ends with _exit, so no test state is torn down twice.
int RunForked(const std::function<int()>& body);

// In a child: switches to the unprivileged "nobody" account (uid and gid 65534) when running
// as root, so that file permissions apply. Returns false when that failed.
bool DropRootRights();

// Starts `body` in a forked child and returns its process id at once; the child ends with
// _exit(0) when `body` returns. The caller stops and reaps it (KillAndReap).
pid_t StartForked(const std::function<void()>& body);
// SIGKILL to `pid`, then waits for it.
void KillAndReap(pid_t pid);

// A one-shot notice from a forked child to the test process (a pipe made before the fork):
// the child calls Notify, the test waits for it.
class ChildNotice {
public:
    ChildNotice();
    ~ChildNotice();
    ChildNotice(const ChildNotice&) = delete;
    ChildNotice& operator=(const ChildNotice&) = delete;

    void Notify();
    // True when the notice came within `timeoutMs` milliseconds.
    bool Wait(int timeoutMs);

private:
    int fds_[2] = {-1, -1};
};
