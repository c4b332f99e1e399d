// What a local user without rights can do to the manager (take every client slot, fill the
// backlog, keep slots with failing requests), and what a service under another account gets
// from it (output, environment, names that would not load again).
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

#include "platform/svcmgr/svcmgr_proto.h"
#include "platform/svcroot.h"
#include "tests/platform/svcmgr/svcmgr_test_helpers.h"
#include "tests/support/forked.h"
#include "tests/support/peeraccount.h"

using std::chrono::milliseconds;
using std::chrono::steady_clock;

namespace {

// A connection to the manager's socket that never waits: -1 when the backlog is full.
int ConnectNow() {
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::string path = SvcMgrSocketPath();
    std::copy(path.begin(), path.end(), address.sun_path);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

std::string FailingRequest() {
    svcproto::TClientRequest r;
    r.Op = svcproto::TOp::QueryStatus;
    r.ServiceName = "NoSuchService";
    return svcproto::EncodeRequest(r);
}

// The answer's code on `fd` within `ms`; -1 closed, -2 nothing yet.
int AnswerCode(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, ms) <= 0)
        return -2;
    char buffer[svcproto::MaxMessage];
    ssize_t got = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (got <= 0)
        return -1;
    return svcproto::DecodeAnswer(buffer, static_cast<size_t>(got)).Code;
}

// As `nobody`: takes every connection it can, keeps them busy with failing requests and
// keeps the backlog full, until killed. Writes "held refused" counts to `report` as it goes.
void HoldTheManager(const std::string& report) {
    if (!DropRootRights())
        _exit(3);
    std::vector<int> held;
    int refused = 0;
    for (;;) {
        for (int fd; held.size() < 600 && (fd = ConnectNow()) >= 0;)
            held.push_back(fd);
        std::string request = FailingRequest();
        for (int& fd : held) {
            // A connection beyond the share has its refusal waiting, or is closed already.
            bool sent = send(fd, request.data(), request.size(), MSG_NOSIGNAL | MSG_DONTWAIT) > 0;
            int code = AnswerCode(fd, 0);
            if (!sent || code == EUSERS || code == -1) {
                refused += code == EUSERS ? 1 : 0;
                close(fd);
                fd = -1;
            }
        }
        std::erase(held, -1);
        int answered = 0;
        for (int fd : held)
            answered += AnswerCode(fd, 1) == ERROR_SERVICE_DOES_NOT_EXIST ? 1 : 0;
        WriteTextFile(report + ".tmp",
                      std::to_string(answered) + " " + std::to_string(refused) + "\n");
        rename((report + ".tmp").c_str(), report.c_str());
    }
}

} // namespace

TEST_F(SvcMgrTest, NobodyHoldingEverySlotAndTheBacklogDoesNotLockRootOut) {
    Install("Guarded");
    std::string report = TestDir() + "/attack";
    pid_t attacker = StartForked([&] { HoldTheManager(report); });
    // The attack is in place: nobody holds its share and has been refused beyond it.
    int answered = 0, refused = 0;
    bool inPlace = WaitUntil([&] {
        std::istringstream(FileExists(report) ? ReadTextFile(report) : "") >> answered >> refused;
        return answered >= 32 && refused > 0;
    });
    EXPECT_TRUE(inPlace) << answered << " held, " << refused << " refused";
    EXPECT_LE(answered, 32);
    for (int round = 0; round < 5; ++round) {
        auto before = steady_clock::now();
        auto list = TScManager::Open("", SC_MANAGER_ALL_ACCESS).ListServices();
        Open("Guarded").QueryStatus();
        EXPECT_LT(steady_clock::now() - before, milliseconds(2000)) << "round " << round;
        EXPECT_EQ(list.size(), 1u);
    }
    KillAndReap(attacker);
}

TEST_F(SvcMgrTest, OnlyRequestsThatSucceedKeepAConnectionOpen) {
    int failing = ConnectNow(), working = ConnectNow();
    ASSERT_GE(failing, 0);
    ASSERT_GE(working, 0);
    svcproto::TClientRequest list;
    list.Op = svcproto::TOp::ListServices;
    std::string good = svcproto::EncodeRequest(list), bad = FailingRequest();
    int failingClosedAfter = -1;
    for (int tick = 0; tick < 24 && failingClosedAfter < 0; ++tick) {
        std::this_thread::sleep_for(milliseconds(500));
        ASSERT_EQ(send(working, good.data(), good.size(), MSG_NOSIGNAL), (ssize_t)good.size());
        ASSERT_EQ(AnswerCode(working, 2000), 0) << "tick " << tick;
        if (send(failing, bad.data(), bad.size(), MSG_NOSIGNAL) < 0 ||
            AnswerCode(failing, 2000) == -1)
            failingClosedAfter = tick;
    }
    // Closed once the idle time (10 s) passed, however often it asked.
    EXPECT_GE(failingClosedAfter, 18);
    EXPECT_LE(failingClosedAfter, 22);
    close(failing);
    close(working);
}

TEST(SvcMgrAccounts, ServiceUnderAnotherAccountGetsNoneOfTheManagersOutputOrEnvironment) {
    std::string unavailable = PeerUnavailableReason({"useradd", "chpasswd"});
    if (!unavailable.empty())
        GTEST_SKIP() << unavailable;
    const PeerAccount& peer = TestPeerAccount();
    std::string oldPath = getenv("PATH") ? getenv("PATH") : "";
    setenv("PATH", ("/root-only/bin:" + oldPath).c_str(), 1);
    setenv("KV_MANAGER_SECRET", "only-for-the-manager", 1);
    setenv("LC_TIME", "C", 1);
    SvcMgrInstance manager;
    setenv("PATH", oldPath.c_str(), 1);
    unsetenv("KV_MANAGER_SECRET");
    unsetenv("LC_TIME");
    std::string dir = manager.Root() + "/testsvc";
    mkdir(dir.c_str(), 0777);
    chmod(dir.c_str(), 01777);
    TScManager scm = TScManager::Open("", SC_MANAGER_ALL_ACCESS);
    for (const char* name : {"AsPeer", "AsRoot"}) {
        WriteTextFile(dir + "/" + name + ".mode", "describe daemon");
        scm.CreateService(name, "", 0, TestServiceProgram(),
                          name == std::string("AsPeer") ? ".\\" + peer.user : "", peer.password);
        scm.OpenService(name, SERVICE_ALL_ACCESS).Start();
    }
    auto lines = [&](const std::string& name) {
        std::vector<std::string> found;
        WaitUntil([&] {
            std::string text = FileExists(dir + "/" + name + ".log")
                                   ? ReadTextFile(dir + "/" + name + ".log")
                                   : "";
            if (text.find("\nexecute ") == std::string::npos)
                return false;
            std::istringstream in(text);
            found.clear();
            for (std::string line; std::getline(in, line);)
                found.push_back(line);
            return true;
        });
        return found;
    };
    auto has = [](const std::vector<std::string>& all, const std::string& line) {
        return std::find(all.begin(), all.end(), line) != all.end();
    };
    std::vector<std::string> asPeer = lines("AsPeer"), asRoot = lines("AsRoot");
    ASSERT_TRUE(has(asPeer, "start uid=" + std::to_string(peer.uid) + " service-thread"));
    EXPECT_TRUE(has(asPeer, "fd1=/dev/null"));
    EXPECT_TRUE(has(asPeer, "fd2=/dev/null"));
    EXPECT_TRUE(has(asPeer, "env PATH=/usr/local/bin:/usr/bin:/bin"));
    EXPECT_TRUE(has(asPeer, "env HOME=" + peer.home));
    EXPECT_TRUE(has(asPeer, "env USER=" + peer.user));
    EXPECT_TRUE(has(asPeer, "env LC_TIME=C"));
    EXPECT_TRUE(has(asPeer, "env SVCMGR_ROOT=" + manager.Root()));
    EXPECT_TRUE(has(asRoot, "fd1=" + manager.LogPath()));
    EXPECT_TRUE(
        has(asRoot, "env PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"));
    EXPECT_TRUE(has(asRoot, "env HOME=/root"));
    for (const auto* all : {&asPeer, &asRoot})
        for (const auto& line : *all)
            EXPECT_EQ(line.find("KV_MANAGER_SECRET"), std::string::npos) << line;

    // The account's session ends with the service; its exit status comes through.
    TScService peerService = scm.OpenService("AsPeer", SERVICE_ALL_ACCESS);
    pid_t keeper = static_cast<pid_t>(peerService.QueryStatus().ProcessId);
    peerService.Control(SERVICE_CONTROL_STOP);
    ASSERT_TRUE(WaitUntil([&] { return peerService.QueryStatus().ProcessExitCode >= 0; }));
    EXPECT_EQ(peerService.QueryStatus().ProcessExitCode, 0);
    EXPECT_EQ(peerService.QueryStatus().Win32ExitCode, 0u);
    EXPECT_TRUE(kill(keeper, 0) != 0 && errno == ESRCH);
    // So has the daemon the service left in a session of its own.
    auto daemon = std::find_if(asPeer.begin(), asPeer.end(),
                               [](const std::string& l) { return l.starts_with("daemon "); });
    ASSERT_NE(daemon, asPeer.end());
    EXPECT_TRUE(kill(std::atoi(daemon->c_str() + 7), 0) != 0 && errno == ESRCH);
}

TEST_F(SvcMgrTest, NamesThatWouldNotLoadAgainAreRefusedAtCreation) {
    TScManager scm = TScManager::Open("", SC_MANAGER_ALL_ACCESS);
    for (const std::string& name : {std::string(".Hidden"), std::string(252, 'L')}) {
        try {
            scm.CreateService(name, "", 0, "/bin/true", "", "");
            ADD_FAILURE() << name << " created";
        } catch (const EOSError& e) {
            EXPECT_EQ(e.Code, EINVAL);
            EXPECT_NE(std::string(e.what()).find("Invalid service name: "), std::string::npos);
        }
    }
    scm.CreateService(std::string(251, 'L'), "", 0, "/bin/true", "", "");
    EXPECT_EQ(manager_.Stop(), 0);
    manager_.Start();
    auto list = TScManager::Open("", GENERIC_READ).ListServices();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].ServiceName, std::string(251, 'L'));
}
