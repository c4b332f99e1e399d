#include "tests/support/childprocess.h"
#include "tests/support/tempdir.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

namespace {

std::string Shell() {
    return FindProgram("sh");
}

} // namespace

TEST(ChildProcessTest, FindProgramGivesAbsolutePathsOrNothing) {
    EXPECT_EQ('/', Shell().at(0));
    EXPECT_EQ("", FindProgram("no-such-program-kv"));
    EXPECT_EQ("", FindProgram("/no/such/program"));
}

TEST(ChildProcessTest, RunCommandFeedsInputAndReportsStatus) {
    TempDir dir;
    std::string log = dir.File("log");
    EXPECT_EQ(3, RunCommand({Shell(), "-c", "read x; echo got $x; [ \"$x\" = hello ] && exit 3"},
                            log, "hello\n"));
    EXPECT_EQ("got hello\n", ReadTextFile(log));
    EXPECT_EQ(128 + 9, RunCommand({Shell(), "-c", "kill -9 $$"}, log));
    EXPECT_THROW(RunCommand({"sh", "-c", "true"}, log), std::runtime_error);
}

TEST(ChildProcessTest, RunCommandOrThrowQuotesTheLog) {
    TempDir dir;
    try {
        RunCommandOrThrow({Shell(), "-c", "echo it broke; exit 1"}, dir.File("log"));
        FAIL() << "no exception";
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string::npos, std::string(error.what()).find("it broke"));
    }
}

// A server that ignores SIGTERM must not hang the test that stops it.
TEST(ChildProcessTest, StopKillsAProcessThatIgnoresTerm) {
    TempDir dir;
    ChildProcess child({Shell(), "-c", "trap '' TERM; echo ready; while :; do sleep 0.01; done"},
                       dir.File("log"));
    for (int i = 0; i < 500 && ReadTextFile(dir.File("log")).empty(); ++i)
        usleep(2000);
    auto start = std::chrono::steady_clock::now();
    child.Stop(std::chrono::milliseconds(100));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_TRUE(child.HasExited());
    EXPECT_EQ(128 + 9, child.ExitStatus());
    child.Stop(); // already stopped: nothing happens
}

// Sockets of open transfers must not stay open in a server started meanwhile.
TEST(ChildProcessTest, ChildrenInheritNoDescriptorOfTheTestProgram) {
    TempDir dir;
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    ASSERT_EQ(57, dup2(fds[0], 57));
    EXPECT_EQ(0, RunCommand({Shell(), "-c", "[ -e /proc/self/fd/57 ] && echo leaked; exit 0"},
                            dir.File("log")));
    close(57);
    close(fds[0]);
    close(fds[1]);
    EXPECT_EQ("", ReadTextFile(dir.File("log")));
}
