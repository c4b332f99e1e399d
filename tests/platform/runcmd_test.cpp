#include "platform/runcmd.h"

#include "tests/support/forked.h"
#include "tests/support/tempdir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Outcome = CommandResult::Outcome;

CommandResult Sh(const std::string& script, std::chrono::milliseconds timeout = 10s,
                 size_t maxOutput = 1u << 20) {
    return RunCommand("/bin/sh", {"sh", "-c", script}, timeout, maxOutput);
}

CommandResult ShWith(const std::string& script, const CommandOptions& options) {
    return RunCommand("/bin/sh", {"sh", "-c", script}, 10s, options);
}

// True when `pid` is gone or only a zombie waiting for its new parent.
bool Dead(pid_t pid) {
    const std::string stat = ReadTextFile("/proc/" + std::to_string(pid) + "/stat");
    if (stat.empty())
        return true;
    const size_t paren = stat.rfind(')');
    return paren != std::string::npos && stat.compare(paren + 2, 1, "Z") == 0;
}

} // namespace

TEST(RunCommand, ArgumentsPassUnchanged) {
    const std::string printf = FindOnPath("printf");
    ASSERT_FALSE(printf.empty());
    const CommandResult r =
        RunCommand(printf, {"printf", "[%s]", "a b", "\"q\" 'r'", "", "$HOME", "*", "x;y|z"}, 10s);
    ASSERT_EQ(r.Status, Outcome::Exited);
    EXPECT_EQ(r.ExitCode, 0);
    EXPECT_EQ(r.Output, "[a b][\"q\" 'r'][][$HOME][*][x;y|z]");
}

TEST(RunCommand, ExitStatusStdinAndStderr) {
    CommandResult r = Sh("echo err >&2; cat; echo out; exit 7");
    ASSERT_EQ(r.Status, Outcome::Exited);
    EXPECT_EQ(r.ExitCode, 7);
    EXPECT_EQ(r.Output, "out\n"); // stdin is empty, stderr is not collected

    r = Sh("kill -TERM $$");
    EXPECT_EQ(r.Status, Outcome::Signalled);
}

// A process started with some of its standard descriptors closed (a daemon) gets pipes and
// /dev/null on those numbers; the child must still see its own stdin, stdout and stderr.
TEST(RunCommand, CallerWithClosedStandardDescriptors) {
    for (const std::vector<int>& closed :
         {std::vector<int>{0}, {1}, {2}, {0, 1}, {1, 2}, {0, 2}, {0, 1, 2}}) {
        const int status = RunForked([&] {
            for (int fd : closed)
                close(fd);
            const CommandResult r = Sh("echo err >&2; cat || echo no-stdin; echo out");
            return r.Status == Outcome::Exited && r.ExitCode == 0 && r.Output == "out\n" ? 0 : 1;
        });
        EXPECT_EQ(status, 0) << "closed " << closed.size() << " from " << closed.front();
    }
}

TEST(RunCommand, ProgramsThatCannotStart) {
    TempDir dir;
    CommandResult r = RunCommand(dir.File("none"), {"none"}, 10s);
    EXPECT_EQ(r.Status, Outcome::NotRun);
    EXPECT_EQ(r.Error, ENOENT);

    WriteTextFile(dir.File("plain"), "#!/bin/sh\necho hi\n"); // not executable
    r = RunCommand(dir.File("plain"), {"plain"}, 10s);
    EXPECT_EQ(r.Status, Outcome::NotRun);
    EXPECT_EQ(r.Error, EACCES);
}

TEST(RunCommand, DeadlineKillsTheWholeGroup) {
    const auto start = std::chrono::steady_clock::now();
    // A background child keeps the output pipe open after its parent is gone.
    const CommandResult r = Sh("sleep 30 & echo $!; exec sleep 30", 300ms);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(r.Status, Outcome::TimedOut);
    EXPECT_LT(elapsed, 5s);
    const pid_t background = std::atoi(r.Output.c_str());
    ASSERT_GT(background, 0);
    for (int i = 0; i < 200 && !Dead(background); ++i)
        std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(Dead(background));
}

TEST(RunCommand, OutputBeyondTheLimitIsDropped) {
    const CommandResult r = Sh("head -c 200000 /dev/zero; exit 3", 10s, 1000);
    ASSERT_EQ(r.Status, Outcome::Exited);
    EXPECT_EQ(r.ExitCode, 3);
    EXPECT_EQ(r.Output.size(), 1000u);
}

// The input goes in while both outputs come back, each beyond a pipe's buffer; the run ends
// with the program even though a helper it left behind still holds its output open.
TEST(RunCommand, InputAndBothOutputsTogether) {
    const std::string input(1 << 20, 'i');
    CommandOptions options;
    options.Input = input;
    options.MaxOutput = 2 << 20;
    options.CollectErrors = true;
    const auto start = std::chrono::steady_clock::now();
    const CommandResult r =
        ShWith("cat; head -c 100000 /dev/zero >&2; sleep 30 & echo $!", options);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    const pid_t helper =
        r.Output.size() > input.size() ? std::atoi(r.Output.c_str() + input.size()) : 0;
    if (helper > 0)
        kill(helper, SIGKILL);
    ASSERT_EQ(r.Status, Outcome::Exited);
    EXPECT_EQ(r.InputError, 0);
    EXPECT_GT(helper, 0);
    EXPECT_EQ(r.Output.compare(0, input.size(), input), 0);
    EXPECT_EQ(r.Errors, std::string(100000, '\0'));
}

TEST(FindOnPath, SearchesThePathInOrder) {
    TempDir dir;
    const std::string first = dir.File("a"), second = dir.File("b");
    ASSERT_EQ(mkdir(first.c_str(), 0700), 0);
    ASSERT_EQ(mkdir(second.c_str(), 0700), 0);
    ASSERT_EQ(mkdir((first + "/tool").c_str(), 0700), 0); // a directory is no program
    WriteTextFile(second + "/tool", "#!/bin/sh\n");
    WriteTextFile(second + "/plain", "#!/bin/sh\n");
    chmod((second + "/tool").c_str(), 0755);

    const std::string saved = getenv("PATH") ? getenv("PATH") : "";
    setenv("PATH", (first + ":" + second).c_str(), 1);
    EXPECT_EQ(FindOnPath("tool"), second + "/tool");
    EXPECT_EQ(FindOnPath("plain"), "");
    EXPECT_EQ(FindOnPath("absent"), "");
    EXPECT_EQ(FindOnPath(""), "");
    EXPECT_EQ(FindOnPath(second + "/tool"), second + "/tool");
    setenv("PATH", saved.c_str(), 1);
}
