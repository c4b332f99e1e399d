#include "tests/support/svcmgr_fixture.h"

#include <cstdlib>
#include <signal.h>
#include <stdexcept>
#include <sys/stat.h>
#include <thread>

#include "platform/errors.h"
#include "platform/svcmgr/svcmgr_client.h"

std::string SvcMgrProgram() {
    return KV_SVCMGR_PROGRAM;
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (condition())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

SvcMgrInstance::SvcMgrInstance(double shutdownTimeoutSeconds, double launchTimeoutSeconds)
    : shutdownTimeoutSeconds_(shutdownTimeoutSeconds), launchTimeoutSeconds_(launchTimeoutSeconds) {
    chmod(root_.Path().c_str(), 0755);
    if (const char* previous = std::getenv("SVCMGR_ROOT")) {
        previousRoot_ = previous;
        hadPreviousRoot_ = true;
    }
    setenv("SVCMGR_ROOT", root_.Path().c_str(), 1);
    Start();
}

SvcMgrInstance::~SvcMgrInstance() {
    if (process_)
        process_->Stop(std::chrono::milliseconds(20000));
    process_.reset();
    if (hadPreviousRoot_)
        setenv("SVCMGR_ROOT", previousRoot_.c_str(), 1);
    else
        unsetenv("SVCMGR_ROOT");
}

void SvcMgrInstance::Start() {
    process_.reset();
    process_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{SvcMgrProgram(), "run", "--shutdown-timeout",
                                 std::to_string(shutdownTimeoutSeconds_), "--launch-timeout",
                                 std::to_string(launchTimeoutSeconds_)},
        LogPath());
    bool answering = WaitUntil([this] {
        if (process_->HasExited())
            return true;
        try {
            TScManager::Open("", SC_MANAGER_CONNECT);
            return true;
        } catch (const EOSError&) {
            return false;
        }
    });
    if (!answering || process_->HasExited())
        throw std::runtime_error("svcmgr did not start: " + LogTail(LogPath()));
}

int SvcMgrInstance::Stop(std::chrono::milliseconds grace) {
    if (!process_)
        return -1;
    process_->Stop(grace);
    return process_->ExitStatus();
}

void SvcMgrInstance::Kill() {
    if (!process_)
        return;
    kill(process_->Pid(), SIGKILL);
    process_->Stop(std::chrono::milliseconds(0));
}
