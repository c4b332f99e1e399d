// Runs a program directly (no shell: arguments pass unchanged, spaces and quotes included)
// and collects its standard output, within a time limit.
#pragma once

#include <chrono>
#include <string>
#include <vector>

struct CommandResult {
    enum class Outcome {
        Exited,    // ran to its end; ExitCode holds its status
        Signalled, // killed by a signal it did not ask for
        TimedOut,  // still running at the deadline: killed with its process group
        NotRun,    // could not be started (Error holds the errno)
    };
    Outcome Status = Outcome::NotRun;
    int ExitCode = -1;
    int Error = 0;
    std::string Output; // standard output (at most MaxOutput bytes kept)
};

// The first executable regular file `name` in the directories of $PATH; empty when none.
// A name with a "/" is taken as a path.
std::string FindOnPath(const std::string& name);

// Runs `program` (a path) with `args` (args[0] is the program's name as it sees it), standard
// input from /dev/null and standard error discarded, in a process group of its own. At the
// deadline the group is killed. Output beyond `maxOutput` bytes is read and dropped.
CommandResult RunCommand(const std::string& program, const std::vector<std::string>& args,
                         std::chrono::milliseconds timeout, size_t maxOutput = 1u << 20);
