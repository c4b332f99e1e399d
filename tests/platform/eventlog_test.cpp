#include "platform/eventlog.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int SkipCode = 77;

// Gives the calling (child) process its own empty /dev: a private mount namespace, made by
// root directly or by anyone else inside a user namespace where the system allows that.
bool WriteProcFile(const char* path, const std::string& text) {
    const int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return ok;
}

// Inside a new user namespace the caller keeps its own ids, so that it can create files.
bool EnterUserNamespace() {
    const std::string uid = std::to_string(getuid());
    const std::string gid = std::to_string(getgid());
    return unshare(CLONE_NEWUSER | CLONE_NEWNS) == 0 &&
           WriteProcFile("/proc/self/uid_map", uid + " " + uid + " 1") &&
           WriteProcFile("/proc/self/setgroups", "deny") &&
           WriteProcFile("/proc/self/gid_map", gid + " " + gid + " 1");
}

bool PrivateDev() {
    if (unshare(CLONE_NEWNS) != 0 && !EnterUserNamespace())
        return false;
    return mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           mount("tmpfs", "/dev", "tmpfs", 0, "mode=0777") == 0;
}

// Runs `body` in a child process that has a private /dev with its own /dev/log socket, and
// returns the datagrams the child's syslog calls sent there. The system's own log is never
// touched. `skipped` is set when the kernel refuses a private mount namespace.
std::vector<std::string> CaptureSyslog(void (*body)(), bool& skipped) {
    skipped = false;
    int pipeFds[2];
    if (pipe(pipeFds) != 0)
        return {};
    const pid_t pid = fork();
    if (pid == 0) {
        close(pipeFds[0]);
        if (!PrivateDev())
            _exit(SkipCode);
        const int sock = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "/dev/log");
        if (sock < 0 || bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
            _exit(SkipCode);
        body();
        // Hand every datagram to the parent, each followed by a NUL.
        timeval shortWait{0, 200000};
        setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &shortWait, sizeof shortWait);
        char buffer[65536];
        for (;;) {
            const ssize_t n = recv(sock, buffer, sizeof buffer - 1, 0);
            if (n < 0)
                break;
            buffer[n] = '\0';
            if (write(pipeFds[1], buffer, static_cast<size_t>(n) + 1) < 0)
                _exit(1);
        }
        _exit(0);
    }
    close(pipeFds[1]);
    std::string all;
    char chunk[4096];
    for (ssize_t n; (n = read(pipeFds[0], chunk, sizeof chunk)) != 0;) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            break;
        all.append(chunk, static_cast<size_t>(n));
    }
    close(pipeFds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == SkipCode)
        skipped = true;
    std::vector<std::string> datagrams;
    for (size_t start = 0, end; (end = all.find('\0', start)) != std::string::npos; start = end + 1)
        datagrams.push_back(all.substr(start, end - start));
    return datagrams;
}

// "<pri>timestamp ident[pid]: message": the priority and everything from the ident on.
std::string Priority(const std::string& d) {
    return d.substr(0, d.find('>') + 1);
}
std::string FromIdent(const std::string& d, const std::string& ident) {
    const size_t at = d.find(" " + ident + "[");
    return at == std::string::npos ? std::string() : d.substr(at + 1);
}

TEST(EventLog, SourceIsTheIdentFacilityIsDaemonBreaksAreKept) {
    bool skipped;
    const auto datagrams = CaptureSyslog(
        [] {
            TEventLogger log("kelvardsvc_test");
            log.LogMessage("job started", EVENTLOG_INFORMATION_TYPE);
            log.LogMessage("copy failed:\r\nno space left", EVENTLOG_ERROR_TYPE);
            log.LogMessage("careful", EVENTLOG_WARNING_TYPE);
        },
        skipped);
    if (skipped)
        GTEST_SKIP() << "no private mount namespace here";
    ASSERT_EQ(datagrams.size(), 3u);
    EXPECT_EQ(Priority(datagrams[0]), "<30>"); // LOG_DAEMON | LOG_INFO
    EXPECT_EQ(Priority(datagrams[1]), "<27>"); // LOG_DAEMON | LOG_ERR
    EXPECT_EQ(Priority(datagrams[2]), "<28>"); // LOG_DAEMON | LOG_WARNING
    const std::string first = FromIdent(datagrams[0], "kelvardsvc_test");
    EXPECT_EQ(first.substr(first.find("]: ")), "]: job started");
    const std::string second = FromIdent(datagrams[1], "kelvardsvc_test");
    EXPECT_EQ(second.substr(second.find("]: ")), "]: copy failed:\r\nno space left");
}

TEST(EventLog, EachLoggerWritesUnderItsOwnSourceAndLeavesNoStaleIdent) {
    bool skipped;
    const auto datagrams = CaptureSyslog(
        [] {
            TEventLogger first("first_source");
            {
                auto second = std::make_unique<TEventLogger>(std::string(200, 's'));
                first.LogMessage("one", EVENTLOG_INFORMATION_TYPE);
                second->LogMessage("two", EVENTLOG_INFORMATION_TYPE);
            }
            // The last owner of the ident is gone: a library's own syslog call must not read
            // its freed name.
            syslog(LOG_DAEMON | LOG_INFO, "library");
            first.LogMessage("three", EVENTLOG_INFORMATION_TYPE);
        },
        skipped);
    if (skipped)
        GTEST_SKIP() << "no private mount namespace here";
    ASSERT_EQ(datagrams.size(), 4u);
    EXPECT_NE(FromIdent(datagrams[0], "first_source"), "");
    EXPECT_NE(FromIdent(datagrams[1], std::string(200, 's')), "");
    // With no ident set, syslog names the program itself.
    EXPECT_NE(FromIdent(datagrams[2], program_invocation_short_name), "") << datagrams[2];
    EXPECT_NE(FromIdent(datagrams[3], "first_source"), "");
}

TEST(EventLog, WithoutALogServiceMessagesAreDropped) {
    // No socket at /dev/log in the child's private /dev: nothing may fail or block.
    bool skipped;
    const pid_t pid = fork();
    if (pid == 0) {
        if (!PrivateDev())
            _exit(SkipCode);
        TEventLogger log("kelvardsvc_test");
        log.LogMessage("nobody listens", EVENTLOG_ERROR_TYPE);
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    skipped = WIFEXITED(status) && WEXITSTATUS(status) == SkipCode;
    if (skipped)
        GTEST_SKIP() << "no private mount namespace here";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

} // namespace
