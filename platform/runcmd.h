// Runs a program directly (no shell: arguments pass unchanged, spaces and quotes included)
// and collects its standard output, within a time limit.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct CommandResult {
    enum class Outcome {
        Exited,    // ran to its end; ExitCode holds its status
        Signalled, // killed by a signal it did not ask for (Signal holds its number)
        TimedOut,  // still running at the deadline: killed with its process group
        Canceled,  // the caller's Canceled check turned true: killed with its process group
        NotRun,    // could not be started (Error holds the errno)
    };
    Outcome Status = Outcome::NotRun;
    int ExitCode = -1;
    int Signal = 0;
    int Error = 0;
    // The errno of a failed write of the input (EPIPE: the program stopped reading before its
    // end); the rest of the input was dropped.
    int InputError = 0;
    std::string Output; // standard output (at most MaxOutput bytes kept)
    std::string Errors; // standard error, when collected (at most MaxErrors bytes kept)
};

struct CommandOptions {
    // Written to the program's standard input, which is closed after it; without it, standard
    // input reads /dev/null.
    std::optional<std::string_view> Input;
    size_t MaxOutput = 1u << 20;
    // Without it, standard error goes to /dev/null.
    bool CollectErrors = false;
    size_t MaxErrors = 1u << 20;
    // Asked at least every 200 ms while the program runs: true ends the run at once (the
    // program's group is killed), for a caller that is told to stop.
    std::function<bool()> Canceled;
};

// The first executable regular file `name` in the directories of $PATH; empty when none.
// A name with a "/" is taken as a path.
std::string FindOnPath(const std::string& name);

// Runs `program` (a path) with `args` (args[0] is the program's name as it sees it) in a
// process group of its own, with SIGPIPE at its default and no signal blocked. Output beyond
// the limits is read and dropped. The run ends when the program has ended (once its input is
// written); what its pipes hold then is collected, descendants that keep them open are not
// waited for. At the deadline the group is killed. Writing the input never raises SIGPIPE in
// the caller.
CommandResult RunCommand(const std::string& program, const std::vector<std::string>& args,
                         std::chrono::milliseconds timeout, const CommandOptions& options);

// The same with standard input from /dev/null and standard error discarded.
CommandResult RunCommand(const std::string& program, const std::vector<std::string>& args,
                         std::chrono::milliseconds timeout, size_t maxOutput = 1u << 20);
