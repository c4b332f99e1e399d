// A real service manager (`svcmgr run`) for one test: its own root directory, which
// SVCMGR_ROOT points to in the test process while the fixture lives, started as a child
// process and stopped by its own process id.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <sys/types.h>

#include "tests/support/childprocess.h"
#include "tests/support/tempdir.h"

// Path of the svcmgr program of this build.
std::string SvcMgrProgram();

// Polls `condition` every 10 ms until it holds or `timeout` passes; returns its last value.
bool WaitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));

class SvcMgrInstance {
public:
    // Starts the manager and waits (at most 10 s) until it answers. The root directory is
    // open for reading to every user (mode 0755), so that other accounts reach the socket.
    // The timeouts are those of `svcmgr run` (--shutdown-timeout, --launch-timeout).
    explicit SvcMgrInstance(double shutdownTimeoutSeconds = 10, double launchTimeoutSeconds = 30);
    ~SvcMgrInstance();
    SvcMgrInstance(const SvcMgrInstance&) = delete;
    SvcMgrInstance& operator=(const SvcMgrInstance&) = delete;

    const std::string& Root() const { return root_.Path(); }
    // Standard output and error of the manager, across restarts.
    std::string LogPath() const { return root_.File("svcmgr.log"); }
    pid_t Pid() const { return process_ ? process_->Pid() : -1; }

    // Starts the manager again on the same root (after Stop or Kill).
    void Start();
    // SIGTERM, then waits for the manager (SIGKILL after `grace`); returns its exit status.
    int Stop(std::chrono::milliseconds grace = std::chrono::milliseconds(20000));
    // SIGKILL, and waits for it.
    void Kill();
    bool HasExited() { return !process_ || process_->HasExited(); }

private:
    TempDir root_;
    double shutdownTimeoutSeconds_;
    double launchTimeoutSeconds_;
    std::string previousRoot_;
    bool hadPreviousRoot_ = false;
    std::unique_ptr<ChildProcess> process_;
};
