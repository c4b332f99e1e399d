// Helper processes for tests: finding installed programs, running short commands, and keeping a
// long-running child (a test server) that is stopped by its own process id.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

// Absolute path of an installed program: searched in PATH, then in the system directories that a
// non-login root shell may lack (/usr/sbin, /sbin). Empty when it is not installed.
std::string FindProgram(const std::string& name);

// Runs argv (argv[0] an absolute path) to completion, with `input` on its standard input and its
// standard output and error appended to `logPath`. Returns the exit status (128 + signal number
// when a signal ended it). Throws when it cannot be started.
int RunCommand(const std::vector<std::string>& argv, const std::string& logPath,
               const std::string& input = "");

// The same, and throws with the command and its log's tail when the exit status is not 0.
void RunCommandOrThrow(const std::vector<std::string>& argv, const std::string& logPath,
                       const std::string& input = "");

// Last `maxBytes` bytes of a log file, for error messages.
std::string LogTail(const std::string& logPath, size_t maxBytes = 2000);

// A child process started from argv (argv[0] an absolute path) with standard input from
// /dev/null and standard output and error appended to `logPath`. The destructor stops it.
class ChildProcess {
public:
    ChildProcess(const std::vector<std::string>& argv, const std::string& logPath);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t Pid() const { return pid_; }
    // True once the process has ended (it is reaped then); ExitStatus() tells how.
    bool HasExited();
    int ExitStatus() const { return status_; }
    // SIGTERM, then SIGKILL when it has not ended within `grace`; waits for it. Idempotent.
    void Stop(std::chrono::milliseconds grace = std::chrono::milliseconds(2000));

private:
    pid_t pid_ = -1;
    bool reaped_ = false;
    int status_ = 0;
};
