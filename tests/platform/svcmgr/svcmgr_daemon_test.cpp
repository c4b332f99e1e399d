// The manager itself: registry, rights, logon accounts, the administrator's client, the
// service program's switches, and requests that are malformed or never finished.
#include <fcntl.h>
#include <poll.h>
#include <random>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

#include "platform/namedpipe.h"
#include "platform/svcmgr/svcmgr_proto.h"
#include "platform/svcroot.h"
#include "tests/platform/svcmgr/svcmgr_test_helpers.h"
#include "tests/support/forked.h"
#include "tests/support/peeraccount.h"

using std::chrono::milliseconds;
using svcproto::TOp;

namespace {

// Runs argv to its end with output and errors in `log`; as `nobody` when asked.
int RunProgram(const std::vector<std::string>& argv, const std::string& log,
               bool asNobody = false) {
    return RunForked([&] {
        int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        if (fd < 0 || dup2(fd, 1) < 0 || dup2(fd, 2) < 0)
            return 250;
        if (asNobody && !DropRootRights())
            return 251;
        std::vector<char*> args;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        return 252;
    });
}

// A raw client connection to the manager's socket.
class RawClient {
public:
    RawClient() {
        fd_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::string path = SvcMgrSocketPath();
        std::copy(path.begin(), path.end(), address.sun_path);
        if (connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            throw std::runtime_error("connect");
    }
    ~RawClient() { close(fd_); }
    bool Send(const std::string& bytes) {
        return send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(bytes.size());
    }
    // The answer's error code; -1 when the manager closed the connection, -2 on timeout.
    int Receive(int timeoutMs = 2000) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0)
            return -2;
        char buffer[svcproto::MaxMessage];
        ssize_t got = recv(fd_, buffer, sizeof buffer, 0);
        if (got <= 0)
            return -1;
        return svcproto::DecodeAnswer(buffer, static_cast<size_t>(got)).Code;
    }

private:
    int fd_;
};

std::string Request(TOp op, const std::string& name = "", uint32_t code = 0) {
    svcproto::TClientRequest r;
    r.Op = op;
    r.ServiceName = name;
    r.Control = code;
    r.Access = SERVICE_ALL_ACCESS;
    return svcproto::EncodeRequest(r);
}

} // namespace

TEST_F(SvcMgrTest, RegistryAndErrorsOfTheClientLibrary) {
    TScManager manager = TScManager::Open("", SC_MANAGER_ALL_ACCESS);
    EXPECT_EQ(ErrorCodeOf([&] { manager.OpenService("Missing", SERVICE_QUERY_STATUS); }),
              ERROR_SERVICE_DOES_NOT_EXIST);
    Install("Kv");
    EXPECT_EQ(ErrorCodeOf([&] { Install("KV"); }), ERROR_SERVICE_EXISTS);
    EXPECT_EQ(ErrorCodeOf([&] { manager.CreateService("a/b", "", 0, "/bin/true", "", ""); }),
              EINVAL);
    EXPECT_EQ(ErrorCodeOf([&] { manager.CreateService("Rel", "", 0, "bin/true", "", ""); }),
              EINVAL);

    TScService service = manager.OpenService("kv", SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG);
    EXPECT_EQ(service.ServiceName(), "Kv");
    TServiceConfig config = service.QueryConfig();
    EXPECT_EQ(config.DisplayName, "Display Kv");
    EXPECT_EQ(config.BinaryPathName, TestServiceProgram());
    EXPECT_EQ(config.ServiceStartName, LocalSystemAccount);
    TServiceStatus s = service.QueryStatus();
    EXPECT_EQ(s.CurrentState, SERVICE_STOPPED);
    EXPECT_EQ(s.ProcessExitCode, -1);
    // A handle opened for queries does not start or stop.
    EXPECT_EQ(ErrorCodeOf([&] { service.Start(); }), EACCES);
    EXPECT_EQ(ErrorCodeOf([&] { Open("Kv").Control(SERVICE_CONTROL_INTERROGATE); }),
              ERROR_SERVICE_NOT_ACTIVE);
    EXPECT_EQ(ErrorCodeOf([&] { Open("Kv").Control(SERVICE_CONTROL_SHUTDOWN); }), EINVAL);

    Open("Kv").Delete();
    EXPECT_EQ(ErrorCodeOf([&] { service.QueryStatus(); }), ERROR_SERVICE_DOES_NOT_EXIST);
    EXPECT_TRUE(manager.ListServices().empty());
}

TEST_F(SvcMgrTest, UnknownRemotePcFailsQuicklyAndOwnNameIsThisPc) {
    setenv("SVCMGR_SSH_CONFIG", "/dev/null", 1);
    auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(ErrorCodeOf([] { TScManager::Open("\\\\OTHER-PC-KV.invalid", GENERIC_READ); }),
              ERROR_BAD_NETPATH);
    EXPECT_LT(std::chrono::steady_clock::now() - before, milliseconds(2000));
    unsetenv("SVCMGR_SSH_CONFIG");
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    EXPECT_TRUE(TScManager::Open(std::string("\\\\") + host, GENERIC_READ).IsOpen());
    EXPECT_TRUE(TScManager::Open("", GENERIC_READ).IsOpen());
}

TEST_F(SvcMgrTest, ManagerRestartKeepsTheRegistry) {
    Install("First");
    Install("Second");
    std::string account = ".\\someone";
    std::string password = "s3cret";
    Open("Second").ChangeConfig(nullptr, nullptr, &account, &password);
    EXPECT_EQ(manager_.Stop(), 0);
    manager_.Start();
    auto list = TScManager::Open("", GENERIC_READ).ListServices();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].ServiceName, "First");
    EXPECT_EQ(list[1].ServiceName, "Second");
    EXPECT_EQ(list[1].DisplayName, "Display Second");
    EXPECT_EQ(Open("Second").QueryConfig().ServiceStartName, account);
    struct stat st;
    ASSERT_EQ(stat((manager_.Root() + "/services/second.svc").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_NE(ReadTextFile(manager_.Root() + "/services/second.svc").find("Password=s3cret"),
              std::string::npos);
    // Back to LocalSystem: the stored password goes.
    std::string local = ".\\LocalSystem";
    Open("Second").ChangeConfig(nullptr, nullptr, &local, &password);
    EXPECT_NE(ReadTextFile(manager_.Root() + "/services/second.svc").find("Password=\n"),
              std::string::npos);
}

TEST_F(SvcMgrTest, OnlyRootStartsStopsAndChanges) {
    Install("Guarded");
    Open("Guarded").Start();
    AwaitState("Guarded", SERVICE_RUNNING);
    std::string log = TestDir() + "/nobody.log";
    auto svcmgrAsNobody = [&](const std::string& command) {
        return RunProgram({SvcMgrProgram(), command, "Guarded"}, log, true);
    };
    EXPECT_EQ(svcmgrAsNobody("stop"), 1);
    EXPECT_NE(ReadTextFile(log).find("Permission denied"), std::string::npos) << ReadTextFile(log);
    EXPECT_EQ(svcmgrAsNobody("start"), 1);
    EXPECT_NE(ReadTextFile(log).find("Permission denied"), std::string::npos);
    EXPECT_EQ(svcmgrAsNobody("query"), 0);
    EXPECT_EQ(ReadTextFile(log).substr(0, 19), "Service is running\n");
    EXPECT_EQ(RunProgram({SvcMgrProgram(), "list"}, log, true), 0);
    EXPECT_NE(ReadTextFile(log).find("Guarded\tService is running"), std::string::npos);

    // The manager itself judges every request, whatever the client library checked.
    int codes = RunForked([] {
        if (!DropRootRights())
            return 255;
        int result = 0;
        auto code = [](const std::string& request) {
            std::string raw = SvcMgrTransact(SvcMgrSocketPath(), request, 2000);
            return svcproto::DecodeAnswer(raw.data(), raw.size()).Code;
        };
        result |= code(Request(TOp::Control, "Guarded", SERVICE_CONTROL_STOP)) == EACCES ? 0 : 1;
        result |= code(Request(TOp::Delete, "Guarded")) == EACCES ? 0 : 2;
        result |= code(Request(TOp::ChangeConfig, "Guarded")) == EACCES ? 0 : 4;
        result |= code(Request(TOp::OpenService, "Guarded")) == EACCES ? 0 : 8;
        result |= code(Request(TOp::Control, "Guarded", SERVICE_CONTROL_INTERROGATE)) == 0 ? 0 : 16;
        result |=
            ErrorCodeOf([] { TScManager::Open("", SC_MANAGER_CREATE_SERVICE); }) == EACCES ? 0 : 32;
        return result;
    });
    EXPECT_EQ(codes, 0);
    std::string installLog = TestDir() + "/install.log";
    EXPECT_EQ(RunProgram({TestServiceProgram(), "/install"}, installLog, true), 1);
    EXPECT_NE(ReadTextFile(installLog).find("Permission denied"), std::string::npos);
    EXPECT_EQ(Status("Guarded").CurrentState, SERVICE_RUNNING);
}

TEST_F(SvcMgrTest, LogonAccountsArePutToTheTest) {
    std::string unavailable = PeerUnavailableReason({"useradd", "chpasswd"});
    if (!unavailable.empty())
        GTEST_SKIP() << unavailable;
    const PeerAccount& peer = TestPeerAccount();
    Install("AsUser");
    TScService service = Open("AsUser");
    std::string account = ".\\" + peer.user;
    std::string wrong = peer.password + "x";
    service.ChangeConfig(nullptr, nullptr, &account, &wrong);
    try {
        service.Start();
        FAIL() << "started with a wrong password";
    } catch (const EOSError& e) {
        EXPECT_EQ(e.Code, ERROR_SERVICE_LOGON_FAILED);
        EXPECT_NE(std::string(e.what()).find(account), std::string::npos) << e.what();
    }
    TServiceStatus s = service.QueryStatus();
    EXPECT_EQ(s.CurrentState, SERVICE_STOPPED);
    EXPECT_EQ(s.Win32ExitCode, static_cast<uint32_t>(ERROR_SERVICE_LOGON_FAILED));
    EXPECT_FALSE(FileExists(LogPath("AsUser")));

    std::string unknown = ".\\nosuchuser-kv";
    service.ChangeConfig(nullptr, nullptr, &unknown, &peer.password);
    EXPECT_EQ(ErrorCodeOf([&] { service.Start(); }), ERROR_SERVICE_LOGON_FAILED);

    // The right password, with a host name as the domain part.
    std::string onHost = "SOMEPC\\" + peer.user;
    service.ChangeConfig(nullptr, nullptr, &onHost, &peer.password);
    service.Start();
    AwaitState("AsUser", SERVICE_RUNNING);
    EXPECT_TRUE(Logged("AsUser", "start uid=" + std::to_string(peer.uid) + " service-thread"));
    service.Control(SERVICE_CONTROL_STOP);
    AwaitState("AsUser", SERVICE_STOPPED);
}

TEST_F(SvcMgrTest, AdministratorsClient) {
    Install("Cli");
    std::string log = TestDir() + "/cli.log";
    auto svcmgr = [&](std::vector<std::string> args) {
        args.insert(args.begin(), SvcMgrProgram());
        return RunProgram(args, log);
    };
    EXPECT_EQ(svcmgr({"query", "Cli"}), 0);
    EXPECT_EQ(ReadTextFile(log).substr(0, 16), "Service stopped\n");
    EXPECT_EQ(svcmgr({"start", "Cli"}), 0);
    EXPECT_EQ(ReadTextFile(log), "Service starting...\n");
    AwaitState("Cli", SERVICE_RUNNING);
    EXPECT_EQ(svcmgr({"start", "Cli"}), 1);
    EXPECT_NE(ReadTextFile(log).find("(error 1056)"), std::string::npos);
    EXPECT_EQ(svcmgr({"stop", "Cli"}), 0);
    EXPECT_EQ(ReadTextFile(log), "Service stopping...\n");
    AwaitState("Cli", SERVICE_STOPPED);
    EXPECT_EQ(svcmgr({"stop", "Cli"}), 1);
    EXPECT_NE(ReadTextFile(log).find("(error 1062)"), std::string::npos);
    EXPECT_EQ(svcmgr({"query", "Nothing"}), 1);
    EXPECT_NE(ReadTextFile(log).find("\"Nothing\" is not installed. (error 1060)"),
              std::string::npos);
    EXPECT_EQ(svcmgr({"frobnicate"}), 2);
    EXPECT_EQ(svcmgr({}), 2);
}

TEST_F(SvcMgrTest, ServiceProgramSwitches) {
    std::string log = TestDir() + "/switch.log";
    setenv("TESTSVC_NAME", "SwitchSvc", 1);
    EXPECT_EQ(RunProgram({TestServiceProgram(), "/INSTALL"}, log), 0);
    EXPECT_EQ(ReadTextFile(log), "Service \"SwitchSvc\" installed.\n");
    TServiceConfig config = Open("SwitchSvc").QueryConfig();
    EXPECT_EQ(config.BinaryPathName, TestServiceProgram());
    EXPECT_EQ(config.DisplayName, "Test service SwitchSvc");
    EXPECT_EQ(RunProgram({TestServiceProgram(), "-silent", "-Install"}, log), 1);
    EXPECT_EQ(ReadTextFile(log), "");
    EXPECT_EQ(RunProgram({TestServiceProgram(), "/Uninstall"}, log), 0);
    EXPECT_EQ(ReadTextFile(log), "Service \"SwitchSvc\" uninstalled.\n");
    EXPECT_EQ(ErrorCodeOf([&] { Open("SwitchSvc"); }), ERROR_SERVICE_DOES_NOT_EXIST);
    EXPECT_EQ(RunProgram({TestServiceProgram(), "-UNINSTALL", "/SILENT"}, log), 1);
    EXPECT_EQ(ReadTextFile(log), "");
    // Without the manager's channel and without a switch.
    EXPECT_EQ(RunProgram({TestServiceProgram(), "--install"}, log), 2);
    EXPECT_NE(ReadTextFile(log).find("is a service program"), std::string::npos);
    unsetenv("TESTSVC_NAME");
}

TEST_F(SvcMgrTest, MalformedRequestsGetAnErrorAndNeverStopTheManager) {
    Install("Sturdy");
    std::mt19937 random(20240611);
    std::vector<std::string> samples = {
        Request(TOp::Start, "Sturdy"), Request(TOp::QueryStatus, "Sturdy"),
        Request(TOp::Control, "Sturdy", 1), Request(TOp::Create, "X")};
    auto client = std::make_unique<RawClient>();
    int answered = 0, closed = 0;
    for (int round = 0; round < 3000; ++round) {
        std::string bytes;
        switch (round % 3) {
        case 0: { // random bytes
            bytes.resize(random() % 64 + 1);
            for (char& c : bytes)
                c = static_cast<char>(random());
            break;
        }
        case 1: { // a real request cut short
            const std::string& sample = samples[random() % samples.size()];
            bytes = sample.substr(0, random() % sample.size() + 1);
            if (bytes.size() == sample.size())
                bytes.pop_back();
            break;
        }
        default: { // a real request with a few bytes changed
            bytes = samples[random() % samples.size()];
            for (int i = 0; i < 3; ++i)
                bytes[random() % bytes.size()] = static_cast<char>(random());
            // No start, change, registration or removal by chance.
            if (bytes[4] == 6 || bytes[4] == 8 || bytes[4] == 9 || bytes[4] == 10)
                bytes[4] = 3;
            break;
        }
        }
        ASSERT_TRUE(client->Send(bytes));
        int code = client->Receive();
        ASSERT_NE(code, -2) << "no answer in round " << round;
        if (code == -1) {
            ++closed;
            client = std::make_unique<RawClient>();
        } else {
            ++answered;
            if (round % 3 == 1) {
                EXPECT_NE(code, 0) << "cut request accepted in round " << round;
            }
        }
    }
    EXPECT_GT(answered, 2900);
    // A message longer than any request: error answer, then the connection is closed.
    ASSERT_TRUE(client->Send(std::string(svcproto::MaxMessage + 100, 'x')));
    EXPECT_EQ(client->Receive(), EMSGSIZE);
    EXPECT_EQ(client->Receive(), -1);
    EXPECT_EQ(Status("Sturdy").CurrentState, SERVICE_STOPPED);
    EXPECT_FALSE(manager_.HasExited());
}

TEST_F(SvcMgrTest, SilentAndGreedyClientsDoNotHoldUpOthers) {
    Install("Busy");
    std::vector<std::unique_ptr<RawClient>> silent;
    for (int i = 0; i < 20; ++i)
        silent.push_back(std::make_unique<RawClient>());
    // One client that asks and asks without ever reading an answer.
    RawClient greedy;
    std::string request = Request(TOp::QueryStatus, "Busy");
    for (int i = 0; i < 2000 && greedy.Send(request); ++i) {
    }
    TScService service = Open("Busy", SERVICE_QUERY_STATUS);
    auto before = std::chrono::steady_clock::now();
    for (int i = 0; i < 100; ++i)
        service.QueryStatus();
    auto perQuery = (std::chrono::steady_clock::now() - before) / 100;
    EXPECT_LT(perQuery, milliseconds(10));
}
