#include "platform/namedpipe.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

#include "platform/errors.h"
#include "platform/svcroot.h"
#include "tests/support/errorcode.h"
#include "tests/support/pipetest.h"
#include "tests/support/tempdir.h"

namespace {

using namespace std::chrono_literals;

constexpr int kTimeoutMs = 5000;

// Every test gets its own pipe namespace.
class NamedPipeTest : public ::testing::Test {
protected:
    PipeNamespace root_;
};

// A client socket connected without going through TPipeClient: it sits in the backlog until
// the server accepts it.
int RawConnect(const std::string& name) {
    int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string path = PipeSocketPath(name);
    std::strcpy(addr.sun_path, path.c_str());
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Serves instance 0 until it is connected, from the test thread.
void WaitConnected(TNamedPipeServer& server, TManualResetEvent& stop) {
    int error = 0;
    if (server.Connect(0, error) == TPipeStart::Connected)
        return;
    ASSERT_EQ(server.Wait(stop, error), 1);
    uint32_t bytes = 0;
    ASSERT_TRUE(server.GetResult(0, bytes, error)) << error;
}

// Reads the next request of instance 0, waiting for it when needed.
TPipeStart ReadRequest(TNamedPipeServer& server, TManualResetEvent& stop, void* buffer,
                       uint32_t capacity, uint32_t& bytes, int& error) {
    TPipeStart start = server.Read(0, buffer, capacity, bytes, error);
    if (start != TPipeStart::Pending)
        return start;
    EXPECT_EQ(server.Wait(stop, error), 1);
    return server.GetResult(0, bytes, error) ? TPipeStart::Completed : TPipeStart::Failed;
}

// --- pipe paths -------------------------------------------------------------------------------

TEST(PipePath, LocalPathGivesTheName) {
    EXPECT_EQ(PipeNameFromPath("\\\\.\\pipe\\KvSvcInfo"), "KvSvcInfo");
    EXPECT_EQ(PipeNameFromPath("\\\\.\\PIPE\\a b"), "a b");
}

TEST(PipePath, RemotePcFailsWithNetworkPathError) {
    try {
        PipeNameFromPath("\\\\SHOP12\\pipe\\KvSvcInfo");
        FAIL() << "no error";
    } catch (const EOSError& e) {
        EXPECT_EQ(e.Code, ERROR_BAD_NETPATH);
        EXPECT_NE(std::string(e.what()).find("network path"), std::string::npos);
    }
}

TEST(PipePath, MalformedPathsAndNamesAreRefused) {
    for (const char* path : {"KvSvcInfo", "\\\\.\\pipe\\", "\\\\.\\pip\\x", "\\\\.\\pipe\\..",
                             "\\\\.\\pipe\\a/b", "\\\\\\pipe\\x", "\\\\.\\pipe"})
        EXPECT_EQ(ErrorCodeOf([&] { PipeNameFromPath(path); }), EINVAL) << path;
}

TEST(PipePath, UnknownRemotePcFailsQuickly) {
    setenv("SVCMGR_SSH_CONFIG", "/dev/null", 1);
    char answer[64];
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ErrorCodeOf([&] {
                  CallNamedPipe("\\\\OTHERPC.invalid\\pipe\\KvSvcInfo", "x", 1, answer,
                                sizeof answer, kTimeoutMs);
              }),
              ERROR_BAD_NETPATH);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    unsetenv("SVCMGR_SSH_CONFIG");
}

// --- socket files -----------------------------------------------------------------------------

TEST_F(NamedPipeTest, SocketFileCarriesTheGivenModeAndGoesWithTheServer) {
    std::string path;
    {
        TNamedPipeServer open("Open", 1, PipeModeEveryone);
        TNamedPipeServer closed("Closed", 1, PipeModeOwnerOnly);
        struct stat st {};
        ASSERT_EQ(::stat(open.SocketPath().c_str(), &st), 0);
        EXPECT_TRUE(S_ISSOCK(st.st_mode));
        EXPECT_EQ(st.st_mode & 07777, 0666u);
        ASSERT_EQ(::stat(closed.SocketPath().c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0600u);
        EXPECT_EQ(open.SocketPath(), PipeDir() + "/Open");
        path = open.SocketPath();
    }
    EXPECT_FALSE(FileExists(path));
}

TEST_F(NamedPipeTest, StaleSocketIsReplacedLiveOneIsNot) {
    // A socket file without a server behind it, as a crashed run leaves it.
    {
        TNamedPipeServer crashed("P", 1, PipeModeEveryone);
        ASSERT_EQ(::link(crashed.SocketPath().c_str(), (PipeDir() + "/keep").c_str()), 0);
    }
    ASSERT_EQ(::rename((PipeDir() + "/keep").c_str(), (PipeDir() + "/P").c_str()), 0);
    char answer[8];
    EXPECT_EQ(ErrorCodeOf([&] { CallNamedPipe(PipePath("P"), "x", 1, answer, 8, kTimeoutMs); }),
              ENOENT);

    TNamedPipeServer server("P", 1, PipeModeEveryone);
    EXPECT_EQ(ErrorCodeOf([] { TNamedPipeServer second("P", 1, PipeModeEveryone); }), EADDRINUSE);
    EXPECT_TRUE(FileExists(server.SocketPath())); // the second server left it alone
}

TEST_F(NamedPipeTest, OtherFileAtThePipePathIsNotReplaced) {
    TNamedPipeServer first("Q", 1, PipeModeEveryone); // creates the pipe directory
    WriteTextFile(PipeDir() + "/R", "data");
    EXPECT_EQ(ErrorCodeOf([] { TNamedPipeServer s("R", 1, PipeModeEveryone); }), EEXIST);
    EXPECT_EQ(ReadTextFile(PipeDir() + "/R"), "data");
}

TEST_F(NamedPipeTest, MissingPipeFailsWithNotFound) {
    char answer[8];
    EXPECT_EQ(ErrorCodeOf([&] { CallNamedPipe(PipePath("None"), "x", 1, answer, 8, kTimeoutMs); }),
              ENOENT);
}

// --- instance operations ----------------------------------------------------------------------

TEST_F(NamedPipeTest, ClientWaitingBeforeConnectIsAdmittedAtOnce) {
    TNamedPipeServer server("A", 1, PipeModeEveryone);
    int raw = RawConnect("A");
    ASSERT_GE(raw, 0);
    int error = 0;
    EXPECT_EQ(server.Connect(0, error), TPipeStart::Connected);
    unsigned char token = 0;
    EXPECT_EQ(::recv(raw, &token, 1, 0), 1); // the admission message
    ::close(raw);
}

TEST_F(NamedPipeTest, MessagesKeepTheirBoundariesAndLimit) {
    TNamedPipeServer server("B", 1, PipeModeEveryone);
    TManualResetEvent stop;
    auto client = std::async(std::launch::async, [&] {
        TPipeClient c(PipePath("B"), kTimeoutMs);
        std::string exact(PipeMessageMax, 'x');
        c.Send("one", 3);
        c.Send("two!", 4);
        c.Send("", 0);
        c.Send(exact.data(), exact.size());
        std::string overlong(PipeMessageMax + 1, 'y');
        c.Send(overlong.data(), overlong.size());
    });
    WaitConnected(server, stop);
    std::vector<char> buffer(PipeMessageMax);
    uint32_t bytes = 0;
    int error = 0;
    ASSERT_EQ(ReadRequest(server, stop, buffer.data(), PipeMessageMax, bytes, error),
              TPipeStart::Completed);
    EXPECT_EQ(std::string(buffer.data(), bytes), "one");
    ASSERT_EQ(ReadRequest(server, stop, buffer.data(), PipeMessageMax, bytes, error),
              TPipeStart::Completed);
    EXPECT_EQ(std::string(buffer.data(), bytes), "two!");
    ASSERT_EQ(ReadRequest(server, stop, buffer.data(), PipeMessageMax, bytes, error),
              TPipeStart::Completed);
    EXPECT_EQ(bytes, 0u); // an empty message
    ASSERT_EQ(ReadRequest(server, stop, buffer.data(), PipeMessageMax, bytes, error),
              TPipeStart::Completed);
    EXPECT_EQ(bytes, PipeMessageMax);
    EXPECT_EQ(ReadRequest(server, stop, buffer.data(), PipeMessageMax, bytes, error),
              TPipeStart::Failed);
    EXPECT_EQ(error, EMSGSIZE);
    client.get();
}

TEST_F(NamedPipeTest, WriteToClientThatLeftFails) {
    TNamedPipeServer server("C", 1, PipeModeEveryone);
    TManualResetEvent stop;
    std::thread([&] { TPipeClient c(PipePath("C"), kTimeoutMs); }).detach();
    WaitConnected(server, stop);
    // The client is gone once its end reads as closed.
    char buffer[8];
    uint32_t bytes = 1;
    int error = 0;
    ASSERT_EQ(ReadRequest(server, stop, buffer, sizeof buffer, bytes, error),
              TPipeStart::Completed);
    EXPECT_EQ(bytes, 0u);
    EXPECT_EQ(server.Write(0, "late", 4, bytes, error), TPipeStart::Failed);
    EXPECT_EQ(error, EPIPE);
}

TEST_F(NamedPipeTest, WriteStaysPendingUntilTheClientReads) {
    TNamedPipeServer server("D", 1, PipeModeEveryone);
    TManualResetEvent stop;
    std::promise<void> filled;
    std::atomic<int> received{0};
    std::thread client([&] {
        TPipeClient c(PipePath("D"), kTimeoutMs);
        filled.get_future().wait();
        std::vector<char> buffer(PipeMessageMax);
        try {
            for (;;) {
                c.Receive(buffer.data(), buffer.size(), 2000);
                ++received;
            }
        } catch (const EOSError&) {
        }
    });
    WaitConnected(server, stop);
    std::vector<char> message(PipeMessageMax, 'm');
    uint32_t bytes = 0;
    int error = 0;
    int sent = 0;
    while (server.Write(0, message.data(), PipeMessageMax, bytes, error) == TPipeStart::Completed) {
        ASSERT_EQ(bytes, PipeMessageMax);
        ASSERT_LT(++sent, 10000);
    }
    filled.set_value(); // the socket is full: the write is pending
    ASSERT_EQ(server.Wait(stop, error), 1);
    ASSERT_TRUE(server.GetResult(0, bytes, error));
    EXPECT_EQ(bytes, PipeMessageMax);
    server.Disconnect(0, error);
    client.join();
    EXPECT_EQ(received.load(), sent + 1);
}

TEST_F(NamedPipeTest, StopEventComesBeforeSignaledInstances) {
    TNamedPipeServer server("E", 2, PipeModeEveryone);
    TManualResetEvent stop;
    server.SetEvent(1);
    int error = 0;
    EXPECT_EQ(server.Wait(stop, error), 2);
    stop.Set();
    EXPECT_EQ(server.Wait(stop, error), 0);
    EXPECT_TRUE(stop.IsSet()); // manual reset: it stays signaled
    stop.Reset();
    EXPECT_FALSE(stop.IsSet());
}

// An instance whose operations keep completing at once stays signaled from one wait to the
// next; the tests below leave instance 0 signaled like that and check that the server still
// looks after everybody else.

TEST_F(NamedPipeTest, SignaledInstancesTakeTurnsWithNewcomers) {
    TNamedPipeServer server("K", 2, PipeModeEveryone);
    TManualResetEvent stop;
    int holder = RawConnect("K");
    ASSERT_GE(holder, 0);
    int error = 0;
    ASSERT_EQ(server.Connect(0, error), TPipeStart::Connected);
    server.SetEvent(0);
    ASSERT_EQ(server.Connect(1, error), TPipeStart::Pending);
    auto client = std::async(std::launch::async, [] {
        TPipeClient c(PipePath("K"), kTimeoutMs);
        return true;
    });
    auto deadline = std::chrono::steady_clock::now() + 5s;
    int result = 0;
    while (result != 2 && std::chrono::steady_clock::now() < deadline)
        result = server.Wait(stop, error);
    ASSERT_EQ(result, 2) << "instance 1 never got its client";
    uint32_t bytes = 0;
    EXPECT_TRUE(server.GetResult(1, bytes, error));
    EXPECT_TRUE(client.get());
    // Both signaled: they come in turn.
    server.SetEvent(1);
    int first = server.Wait(stop, error);
    int second = server.Wait(stop, error);
    EXPECT_NE(first, second);
    ::close(holder);
}

TEST_F(NamedPipeTest, BusyInstanceThatStaysSignaledRefusesNewcomersAtOnce) {
    TNamedPipeServer server("L", 1, PipeModeEveryone);
    TManualResetEvent stop;
    int holder = RawConnect("L");
    ASSERT_GE(holder, 0);
    int error = 0;
    ASSERT_EQ(server.Connect(0, error), TPipeStart::Connected);
    server.SetEvent(0);
    auto start = std::chrono::steady_clock::now();
    auto newcomer = std::async(std::launch::async, [] {
        char answer[8];
        return ErrorCodeOf([&] { CallNamedPipe(PipePath("L"), "x", 1, answer, 8, kTimeoutMs); });
    });
    while (newcomer.wait_for(0s) != std::future_status::ready &&
           std::chrono::steady_clock::now() - start < 10s)
        ASSERT_EQ(server.Wait(stop, error), 1);
    EXPECT_EQ(newcomer.get(), ERROR_PIPE_BUSY);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    ::close(holder);
}

TEST_F(NamedPipeTest, NewcomerWaitsWhileTheSignaledInstanceLosesItsClient) {
    // The only instance has answered its client, which has read the answer and left; the
    // server has not looked at the instance yet. A newcomer then is not refused: the instance
    // is about to be free.
    TNamedPipeServer server("M", 1, PipeModeEveryone);
    TManualResetEvent stop;
    int holder = RawConnect("M");
    ASSERT_GE(holder, 0);
    int error = 0;
    ASSERT_EQ(server.Connect(0, error), TPipeStart::Connected);
    server.SetEvent(0);
    unsigned char token = 0;
    ASSERT_EQ(::recv(holder, &token, 1, 0), 1); // as a client does, before it goes
    ::close(holder);
    auto newcomer = std::async(std::launch::async, [] {
        char answer[8];
        TPipeClient c(PipePath("M"), kTimeoutMs);
        c.Send("hi", 2);
        return c.Receive(answer, sizeof answer, kTimeoutMs);
    });
    std::this_thread::sleep_for(50ms); // the newcomer is in the queue of the listening socket
    ASSERT_EQ(server.Wait(stop, error), 1);
    // The server finds the client gone, disconnects and listens again: the newcomer gets in.
    char buffer[8];
    uint32_t bytes = 1;
    ASSERT_EQ(ReadRequest(server, stop, buffer, sizeof buffer, bytes, error),
              TPipeStart::Completed);
    ASSERT_EQ(bytes, 0u);
    server.Disconnect(0, error);
    ASSERT_EQ(server.Connect(0, error), TPipeStart::Connected); // the newcomer waited
    ASSERT_EQ(ReadRequest(server, stop, buffer, sizeof buffer, bytes, error),
              TPipeStart::Completed);
    EXPECT_EQ(server.Write(0, "ok", 2, bytes, error), TPipeStart::Completed);
    EXPECT_EQ(newcomer.get(), 2u);
}

TEST_F(NamedPipeTest, NewcomerWaitsWhileTheLastRequestOfALeavingClientIsServed) {
    TNamedPipeServer server("N", 1, PipeModeEveryone);
    TManualResetEvent stop;
    int holder = RawConnect("N");
    ASSERT_GE(holder, 0);
    int error = 0;
    ASSERT_EQ(server.Connect(0, error), TPipeStart::Connected);
    unsigned char token = 0;
    ASSERT_EQ(::recv(holder, &token, 1, 0), 1);
    char buffer[8];
    uint32_t bytes = 0;
    ASSERT_EQ(server.Read(0, buffer, sizeof buffer, bytes, error), TPipeStart::Pending);
    // The client sends its request and goes at once; a newcomer comes before the server
    // looks at the instance again.
    ASSERT_EQ(::send(holder, "req", 3, 0), 3);
    ::close(holder);
    auto newcomer = std::async(std::launch::async, [] {
        char answer[8];
        TPipeClient c(PipePath("N"), kTimeoutMs);
        c.Send("hi", 2);
        return c.Receive(answer, sizeof answer, kTimeoutMs);
    });
    std::this_thread::sleep_for(50ms);
    ASSERT_EQ(server.Wait(stop, error), 1);
    ASSERT_TRUE(server.GetResult(0, bytes, error));
    EXPECT_EQ(bytes, 3u);
    EXPECT_EQ(server.Write(0, "ok", 2, bytes, error), TPipeStart::Failed); // in vain
    server.Disconnect(0, error);
    // The newcomer was kept waiting, not refused.
    ASSERT_EQ(server.Connect(0, error), TPipeStart::Connected);
    ASSERT_EQ(ReadRequest(server, stop, buffer, sizeof buffer, bytes, error),
              TPipeStart::Completed);
    EXPECT_EQ(server.Write(0, "ok", 2, bytes, error), TPipeStart::Completed);
    EXPECT_EQ(newcomer.get(), 2u);
}

// Serves `server` from a thread of its own: admits clients, answers each message with its
// length in decimal, drops clients that leave.
class LengthServer {
public:
    LengthServer(const std::string& name, int instances)
        : server_(name, instances, PipeModeEveryone), buffers_(instances),
          thread_([this] { Run(); }) {}
    ~LengthServer() {
        stop_.Set();
        thread_.join();
    }

private:
    void Run() {
        int n = server_.InstanceCount();
        std::vector<int> state(n, 0); // 0 connecting, 1 reading, 2 writing
        int error = 0;
        for (int i = 0; i < n; ++i)
            Listen(i, state);
        for (;;) {
            int r = server_.Wait(stop_, error);
            if (r <= 0)
                return;
            int i = r - 1;
            uint32_t bytes = 0;
            if (!server_.GetResult(i, bytes, error) && state[i] != 0) {
                Listen(i, state);
                continue;
            }
            if (state[i] == 1 && bytes == 0) {
                Listen(i, state);
                continue;
            }
            if (state[i] == 1) {
                answer_[i] = std::to_string(bytes);
                state[i] = 2;
                server_.Write(i, answer_[i].data(), answer_[i].size(), bytes, error);
                continue;
            }
            state[i] = 1;
            if (server_.Read(i, buffers_[i].data(), PipeMessageMax, bytes, error) ==
                TPipeStart::Failed)
                Listen(i, state);
        }
    }
    void Listen(int i, std::vector<int>& state) {
        int error = 0;
        server_.Disconnect(i, error);
        state[i] = 0;
        if (server_.Connect(i, error) == TPipeStart::Connected)
            server_.SetEvent(i);
    }

    TNamedPipeServer server_;
    TManualResetEvent stop_;
    std::vector<std::array<char, PipeMessageMax>> buffers_;
    std::string answer_[8];
    std::thread thread_;
};

TEST_F(NamedPipeTest, OneCallTransactionAndBusyInstances) {
    LengthServer server("G", 2);
    char answer[32];
    size_t n = CallNamedPipe(PipePath("G"), "hello", 5, answer, sizeof answer, kTimeoutMs);
    EXPECT_EQ(std::string(answer, n), "5");

    TPipeClient first(PipePath("G"), kTimeoutMs);
    TPipeClient second(PipePath("G"), kTimeoutMs);
    auto start = std::chrono::steady_clock::now();
    try {
        CallNamedPipe(PipePath("G"), "x", 1, answer, sizeof answer, kTimeoutMs);
        FAIL() << "a third client was admitted by two instances";
    } catch (const EOSError& e) {
        EXPECT_EQ(e.Code, ERROR_PIPE_BUSY);
        EXPECT_STREQ(e.what(), "All pipe instances are busy.");
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);

    // Both admitted clients are still served.
    first.Send("abc", 3);
    EXPECT_EQ(first.Receive(answer, sizeof answer, kTimeoutMs), 1u);
    EXPECT_EQ(answer[0], '3');
    second.Close();
    n = CallNamedPipe(PipePath("G"), "hello!", 6, answer, sizeof answer, kTimeoutMs);
    EXPECT_EQ(std::string(answer, n), "6");
}

TEST_F(NamedPipeTest, SequentialClientsOfOneInstanceAreNeverRefused) {
    LengthServer server("H", 1);
    char answer[32];
    for (int i = 0; i < 300; ++i)
        ASSERT_EQ(CallNamedPipe(PipePath("H"), "abcd", 4, answer, sizeof answer, kTimeoutMs), 1u)
            << "call " << i;
}

TEST_F(NamedPipeTest, ClientErrorsOfAnExchange) {
    LengthServer server("I", 1);
    TPipeClient client(PipePath("I"), kTimeoutMs);
    char small[1];
    client.Send("0123456789", 10); // answer "10" does not fit in one byte
    EXPECT_EQ(ErrorCodeOf([&] { client.Receive(small, sizeof small, kTimeoutMs); }), EMSGSIZE);
    // Nothing more comes: the wait ends with a time-out.
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ErrorCodeOf([&] { client.Receive(small, sizeof small, 100); }), ETIMEDOUT);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    // An overlong message makes the server drop the client.
    std::string overlong(PipeMessageMax + 1, 'z');
    client.Send(overlong.data(), overlong.size());
    char answer[32];
    EXPECT_EQ(ErrorCodeOf([&] { client.Receive(answer, sizeof answer, kTimeoutMs); }), EPIPE);
}

TEST_F(NamedPipeTest, ServerThatNeverAdmitsTimesOut) {
    TNamedPipeServer server("J", 1, PipeModeEveryone); // nobody serves it
    char answer[8];
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ErrorCodeOf([&] { CallNamedPipe(PipePath("J"), "x", 1, answer, 8, 200); }),
              ETIMEDOUT);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
}

} // namespace
