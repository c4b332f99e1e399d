// Another PC's manager and pipes through ssh and `svcmgr bridge`: a real sshd on 127.0.0.1
// with a key-based login, a test SSH configuration and the real manager behind it.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>

#include "platform/namedpipe.h"
#include "platform/remotepc.h"
#include "platform/svcmgr/svcmgr_bridge.h"
#include "platform/svcmgr/svcmgr_cli.h"
#include "tests/platform/svcmgr/svcmgr_test_helpers.h"
#include "tests/support/sshbridge.h"

namespace {

using namespace std::chrono_literals;

#define SKIP_UNLESS_SSH_AVAILABLE()                                                                \
    if (std::string why = SshBridgeHost::UnavailableReason(); !why.empty())                        \
    GTEST_SKIP() << why

struct CliResult {
    int Status;
    std::string Out, Err;
};

CliResult Cli(std::vector<std::string> args) {
    args.insert(args.begin(), "svcmgr");
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    std::ostringstream out, err;
    int status = SvcMgrMain(static_cast<int>(argv.size()), argv.data(), out, err);
    return {status, out.str(), err.str()};
}

class RemotePcTest : public SvcMgrTest {
protected:
    void SetUp() override { SKIP_UNLESS_SSH_AVAILABLE(); }
};

} // namespace

TEST_F(RemotePcTest, AdministratorsClientDrivesAnotherPcsManagerOverOneConnection) {
    SshBridgeHost host(manager_.Root());
    Install("RSvc");
    const std::string pc = std::string("\\\\") + SshBridgeHost::RootAlias;

    CliResult list = Cli({pc, "list"});
    ASSERT_EQ(list.Status, 0) << list.Err;
    EXPECT_EQ(list.Out, "RSvc\tService stopped\tDisplay RSvc\n");
    pid_t ssh = RemotePcProcessId(SshBridgeHost::RootAlias);
    EXPECT_GT(ssh, 0);

    EXPECT_EQ(Cli({pc, "start", "rsvc"}).Out, "Service starting...\n");
    AwaitState("RSvc", SERVICE_RUNNING);
    CliResult query = Cli({pc, "query", "RSvc"});
    EXPECT_EQ(query.Out.substr(0, query.Out.find('\n')), "Service is running");
    EXPECT_NE(query.Out.find("program:      " + TestServiceProgram()), std::string::npos);
    // The manager's own errors come back with their codes and texts.
    CliResult again = Cli({pc, "start", "RSvc"});
    EXPECT_EQ(again.Status, 1);
    EXPECT_NE(again.Err.find("(error 1056)"), std::string::npos) << again.Err;
    EXPECT_EQ(Cli({pc, "stop", "RSvc"}).Status, 0);
    AwaitState("RSvc", SERVICE_STOPPED);
    EXPECT_EQ(Cli({pc, "query", "Missing"}).Status, 1);
    // Every request went over the one ssh process; the server saw one login.
    EXPECT_EQ(RemotePcProcessId(SshBridgeHost::RootAlias), ssh);
    EXPECT_EQ(host.CountLogLines("Accepted publickey for root"), 1);
    EXPECT_EQ(Cli({pc}).Status, 2);
}

TEST_F(RemotePcTest, BusyPipeFailsAtOnceAndTransactionsKeepTheirBytes) {
    SshBridgeHost host(manager_.Root());
    TNamedPipeServer server("EchoPipe", 1, PipeModeEveryone);
    TManualResetEvent stop;
    // One instance that echoes every message back, reversed.
    std::thread serving([&] {
        std::vector<char> buffer(PipeMessageMax);
        enum { Connecting, Reading, Writing } step = Connecting;
        int error = 0;
        uint32_t bytes = 0;
        TPipeStart started = server.Connect(0, error);
        for (;;) {
            bool ok = started == TPipeStart::Completed || started == TPipeStart::Connected;
            if (started == TPipeStart::Pending) {
                if (server.Wait(stop, error) <= 0)
                    return;
                ok = server.GetResult(0, bytes, error);
            }
            if (!ok || (step == Reading && bytes == 0)) {
                server.Disconnect(0, error);
                step = Connecting;
                started = server.Connect(0, error);
            } else if (step == Reading) {
                std::reverse(buffer.begin(), buffer.begin() + bytes);
                step = Writing;
                started = server.Write(0, buffer.data(), bytes, bytes, error);
            } else {
                step = Reading;
                started = server.Read(0, buffer.data(), PipeMessageMax, bytes, error);
            }
        }
    });
    const std::string path = std::string("\\\\") + SshBridgeHost::RootAlias + "\\pipe\\EchoPipe";
    std::string big(PipeMessageMax, 'a');
    big.back() = 'z';
    std::string answer(PipeMessageMax, '\0');
    size_t length = CallNamedPipe(path, big.data(), big.size(), answer.data(), answer.size(), 5000);
    EXPECT_EQ(length, big.size());
    EXPECT_EQ(answer.substr(0, 2), "za");
    EXPECT_EQ(ErrorCodeOf([&] { CallNamedPipe(path, "ab", 2, answer.data(), 1, 5000); }), EMSGSIZE);

    {
        // Held by a local client: the other PC's client is refused at once, as locally.
        TPipeClient holder("\\\\.\\pipe\\EchoPipe", 5000);
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(ErrorCodeOf([&] { CallNamedPipe(path, "x", 1, answer.data(), 64, 5000); }),
                  ERROR_PIPE_BUSY);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    }
    EXPECT_EQ(ErrorCodeOf([&] {
                  CallNamedPipe(std::string("\\\\") + SshBridgeHost::RootAlias + "\\pipe\\None",
                                "x", 1, answer.data(), 64, 5000);
              }),
              ENOENT);
    ASSERT_TRUE(WaitUntil([&] {
        return ErrorCodeOf([&] { CallNamedPipe(path, "ok", 2, answer.data(), 64, 5000); }) == 0;
    }));
    EXPECT_EQ(answer.substr(0, 2), "ko");
    stop.Set();
    serving.join();
}

TEST_F(RemotePcTest, OpeningInTheBackgroundNeverHoldsTheCallerAndLoginNoiseIsSkipped) {
    SshBridgeHost host(manager_.Root());
    Install("RSvc");
    // A PC whose TCP connection is accepted (by the kernel) and never answered.
    int stall = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(stall, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(stall, 4), 0);
    ::getsockname(stall, reinterpret_cast<sockaddr*>(&address), &length);
    TempDir dir;
    WriteTextFile(dir.File("ssh_config"), "Host stallpc\n  HostName 127.0.0.1\n  Port " +
                                              std::to_string(ntohs(address.sin_port)) + "\n" +
                                              ReadTextFile(host.ConfigPath()));
    // The login prints a greeting, and a piece of the bridge's magic, before the bridge runs.
    WriteTextFile(dir.File("noisy"),
                  "#!/bin/sh\necho 'Welcome to the other PC'\nprintf SVB\nexec '" +
                      SvcMgrProgram() + "' \"$@\"\n");
    ::chmod(dir.File("noisy").c_str(), 0755);
    ::chmod(dir.Path().c_str(), 0755);
    setenv("SVCMGR_SSH_CONFIG", dir.File("ssh_config").c_str(), 1);
    setenv("SVCMGR_REMOTE_PROGRAM", dir.File("noisy").c_str(), 1);

    SetRemotePcOpenInBackground(true);
    for (int call = 0; call < 5; ++call) {
        auto start = std::chrono::steady_clock::now();
        try {
            TScManager::Open("\\\\stallpc", GENERIC_READ);
            ADD_FAILURE() << "no error";
        } catch (const EOSError& e) {
            EXPECT_EQ(e.Code, ERROR_BAD_NETPATH);
            EXPECT_NE(std::string(e.what()).find("connection to stallpc is being opened"),
                      std::string::npos)
                << e.what();
        }
        EXPECT_LT(std::chrono::steady_clock::now() - start, 100ms);
        std::this_thread::sleep_for(200ms);
    }
    const std::string pc = std::string("\\\\") + SshBridgeHost::RootAlias;
    EXPECT_EQ(ErrorCodeOf([&] { TScManager::Open(pc, GENERIC_READ); }), ERROR_BAD_NETPATH);
    ASSERT_TRUE(
        WaitUntil([&] { return ErrorCodeOf([&] { TScManager::Open(pc, GENERIC_READ); }) == 0; }));
    EXPECT_EQ(Cli({pc, "list"}).Out, "RSvc\tService stopped\tDisplay RSvc\n");
    // The link being opened is given up at once.
    auto start = std::chrono::steady_clock::now();
    CloseRemotePcConnections();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);

    SetRemotePcOpenInBackground(false);
    ::close(stall);
}

// Escape sequences in what the other PC sends (the bridge's answer, the login's messages
// that ssh passes on) reach neither the terminal nor the window.
TEST_F(RemotePcTest, ControlCharactersOfTheOtherPcsTextsAreReplaced) {
    SshBridgeHost host(manager_.Root());
    TempDir dir;
    ::chmod(dir.Path().c_str(), 0755);
    const std::string evil = "\033]0;owned\007\033[2J\r\b\xC2\x9B"
                             "31m\x9B"
                             "gone";
    const std::string clean = "?]0;owned??[2J???31m?gone";
    EXPECT_EQ(PrintableRemoteText(evil + " caf\xC3\xA9 \xE2\x82\xAC"),
              clean + " caf\xC3\xA9 \xE2\x82\xAC");
    WriteTextFile(dir.File("frames"),
                  svcbridge::EncodeFrame(svcbridge::KindHello, 0, "1") +
                      svcbridge::EncodeFrame(svcbridge::KindManager, EACCES, "bridge: " + evil));
    WriteTextFile(dir.File("bridge"), "#!/bin/sh\ncat '" + dir.File("frames") + "'\nsleep 5\n");
    WriteTextFile(
        dir.File("login"),
        "#!/bin/sh\nprintf 'login: \\033]0;owned\\007\\033[2J\\010gone\\n' >&2\nexit 3\n");
    for (const char* program : {"bridge", "login"}) {
        ::chmod(dir.File(program).c_str(), 0755);
        setenv("SVCMGR_REMOTE_PROGRAM", dir.File(program).c_str(), 1);
        CliResult cli = Cli({std::string("\\\\") + SshBridgeHost::RootAlias, "list"});
        EXPECT_EQ(cli.Status, 1);
        EXPECT_NE(cli.Err.find(program + std::string(": ")), std::string::npos) << cli.Err;
        EXPECT_NE(cli.Err.find("gone"), std::string::npos) << cli.Err;
        for (char c : cli.Err.substr(0, cli.Err.size() - 1))
            EXPECT_FALSE(static_cast<unsigned char>(c) < 0x20 || c == 0x7F) << cli.Err;
        CloseRemotePcConnections();
    }
}

TEST(RemotePcNames, NamesSshCouldMisreadAreRefusedBeforeAnythingRuns) {
    setenv("SVCMGR_SSH_CONFIG", "/dev/null", 1);
    std::string marker = "/tmp/kv-remotepc-marker-" + std::to_string(getpid());
    for (std::string name :
         {"-oProxyCommand=touch " + marker, std::string("-oProxyCommand=x"), std::string("pc name"),
          std::string("pc\tname"), std::string("pc\nname"), std::string("pc;rm"),
          std::string("@pc"), std::string("pc%h"), std::string(300, 'a')}) {
        EXPECT_EQ(ErrorCodeOf([&] { TScManager::Open("\\\\" + name, GENERIC_READ); }),
                  ERROR_INVALID_NETNAME)
            << name;
        char answer[8];
        EXPECT_EQ(ErrorCodeOf(
                      [&] { CallNamedPipe("\\\\" + name + "\\pipe\\x", "x", 1, answer, 8, 1000); }),
                  ERROR_INVALID_NETNAME)
            << name;
    }
    EXPECT_FALSE(FileExists(marker));
    // A name that cannot be resolved fails with the network-path error and ssh's message.
    try {
        TScManager::Open("\\\\otherpc.invalid", GENERIC_READ);
        ADD_FAILURE() << "no error";
    } catch (const EOSError& e) {
        EXPECT_EQ(e.Code, ERROR_BAD_NETPATH);
        EXPECT_NE(std::string(e.what()).find("Could not resolve hostname otherpc.invalid"),
                  std::string::npos)
            << e.what();
    }
    CloseRemotePcConnections();
    unsetenv("SVCMGR_SSH_CONFIG");
}
