#include "service/framework/srvpipe.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <regex>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "common/debuglog.h"
#include "platform/errors.h"
#include "platform/svcroot.h"
#include "tests/support/errorcode.h"
#include "tests/support/pipetest.h"
#include "tests/support/tempdir.h"

namespace {

using namespace std::chrono_literals;

constexpr int kTimeoutMs = 5000;

// Answers "STATS" with the traffic counters, "ECHO..." with the request itself, "SLOW" once
// the test releases it, "THROW" and "THROW42" by raising; anything else gets the default
// answer.
class TTestServer final : public TPipeServer {
public:
    TTestServer(const std::string& name, int instances, int verbosity = 0)
        : TPipeServer(name, instances, PipeModeEveryone) {
        Verbosity = verbosity;
        Start();
    }
    ~TTestServer() override { Destroy(); }

    void ProcessRequest(const uint8_t* Request, uint32_t RequestLength, uint8_t* Answer,
                        int32_t AnswerCapacity, uint32_t& AnswerLength, bool& UseDefault) override {
        std::string request(reinterpret_cast<const char*>(Request), RequestLength);
        if (request == "STATS") {
            TPipeStatistics counters{};
            CopyStatistics(counters);
            std::memcpy(Answer, &counters, sizeof counters);
            AnswerLength = sizeof counters;
            UseDefault = false;
        } else if (request.rfind("ECHO", 0) == 0) {
            std::memcpy(Answer, Request, std::min<uint32_t>(RequestLength, AnswerCapacity));
            AnswerLength = RequestLength;
            UseDefault = false;
        } else if (request == "SLOW") {
            for (int i = 0; i < 500 && !Release; ++i)
                std::this_thread::sleep_for(10ms);
            std::memcpy(Answer, "slow", 4);
            AnswerLength = 4;
            UseDefault = false;
        } else if (request == "THROW") {
            throw Exception("request handler failed");
        } else if (request == "THROW42") {
            throw 42; // not an exception object at all
        }
    }

    std::atomic<bool> Release{false};
};

class PipeServerTest : public ::testing::Test {
protected:
    void SetUp() override { SetDebugTarget(nullptr, root_.File("debug.log")); }
    void TearDown() override { SetDebugTarget(nullptr, "debug.txt"); }

    static TPipeStatistics Stats(TPipeClient& client) {
        client.Send("STATS", 5);
        TPipeStatistics counters{};
        EXPECT_EQ(client.Receive(&counters, sizeof counters, kTimeoutMs), sizeof counters);
        return counters;
    }
    static TPipeStatistics Stats(const std::string& name) {
        TPipeClient client(PipePath(name), kTimeoutMs);
        return Stats(client);
    }

    std::string LogText() const { return ReadTextFile(root_.File("debug.log")); }

    PipeNamespace root_;
};

TEST_F(PipeServerTest, SeveralRequestsOnOneConnectionAreAnsweredInOrder) {
    TTestServer server("S1", 2);
    WaitForPipe("S1");
    TPipeClient client(PipePath("S1"), kTimeoutMs);
    uint64_t sent = 0;
    for (int i = 0; i < 5; ++i) {
        std::string request = "ECHO " + std::to_string(i) + std::string(i * 100, '.');
        client.Send(request.data(), request.size());
        sent += request.size();
        char answer[1024];
        size_t n = client.Receive(answer, sizeof answer, kTimeoutMs);
        ASSERT_EQ(std::string(answer, n), request);
    }
    TPipeStatistics counters = Stats(client);
    EXPECT_EQ(+counters.Connections, 1u);
    EXPECT_EQ(+counters.ConnectionErrors, 0u);
    EXPECT_EQ(+counters.Requests, 6u);
    EXPECT_EQ(+counters.BytesRead, sent + 5);
    EXPECT_EQ(+counters.Answers, 5u);
    EXPECT_EQ(+counters.BytesWritten, sent);
    EXPECT_EQ(+counters.WriteErrors, 0u);
    EXPECT_EQ(+counters.Reserved, 0u);
    EXPECT_GE(+counters.StartTime.wYear, 2024);
}

TEST_F(PipeServerTest, DefaultAnswerAcknowledgesTheLength) {
    TPipeServer server("S2", 1, PipeModeEveryone); // the base answers every request itself
    server.Start();
    WaitForPipe("S2");
    char answer[64];
    size_t n = CallNamedPipe(PipePath("S2"), "hello", 5, answer, sizeof answer, kTimeoutMs);
    std::string text(answer, n);
    EXPECT_TRUE(std::regex_match(text, std::regex("ACK 5 bytes [0-9]{2}:[0-9]{2}:[0-9]{2}")))
        << text;
}

TEST_F(PipeServerTest, EmptyAndOverlongRequestsDropTheClientWithoutCounting) {
    TTestServer server("S3", 1);
    WaitForPipe("S3");
    char answer[64];
    {
        TPipeClient client(PipePath("S3"), kTimeoutMs);
        client.Send("", 0);
        EXPECT_EQ(ErrorCodeOf([&] { client.Receive(answer, sizeof answer, kTimeoutMs); }), EPIPE);
    }
    {
        TPipeClient client(PipePath("S3"), kTimeoutMs);
        std::string overlong(PipeBufferSize + 1, 'x');
        client.Send(overlong.data(), overlong.size());
        EXPECT_EQ(ErrorCodeOf([&] { client.Receive(answer, sizeof answer, kTimeoutMs); }), EPIPE);
    }
    {
        // The largest message is still served.
        TPipeClient client(PipePath("S3"), kTimeoutMs);
        std::string largest = "ECHO" + std::string(PipeBufferSize - 4, 'y');
        client.Send(largest.data(), largest.size());
        std::vector<char> buffer(PipeBufferSize);
        EXPECT_EQ(client.Receive(buffer.data(), buffer.size(), kTimeoutMs), PipeBufferSize);
    }
    TPipeStatistics counters = Stats("S3");
    EXPECT_EQ(+counters.Connections, 4u);
    EXPECT_EQ(+counters.Requests, 2u); // the largest message and this one
    EXPECT_EQ(+counters.BytesRead, PipeBufferSize + 5);
    EXPECT_EQ(+counters.Answers, 1u);
    EXPECT_EQ(+counters.WriteErrors, 0u);
    EXPECT_EQ(+counters.ConnectionErrors, 0u);
}

TEST_F(PipeServerTest, ClientThatLeavesDuringTheAnswerCountsOneWriteError) {
    TTestServer server("S4", 1);
    WaitForPipe("S4");
    {
        TPipeClient client(PipePath("S4"), kTimeoutMs);
        client.Send("SLOW", 4);
    }
    server.Release = true;
    TPipeStatistics counters = Stats("S4");
    EXPECT_EQ(+counters.WriteErrors, 1u);
    EXPECT_EQ(+counters.Answers, 0u);
    EXPECT_EQ(+counters.Requests, 2u);
}

TEST_F(PipeServerTest, InstancesAreCutTo64AndAllServedAtOnce) {
    TTestServer server("S5", 100);
    EXPECT_EQ(server.InstanceCount(), 64);
    WaitForPipe("S5");
    std::vector<std::unique_ptr<TPipeClient>> clients;
    for (int i = 0; i < 64; ++i)
        clients.push_back(std::make_unique<TPipeClient>(PipePath("S5"), kTimeoutMs));
    char answer[64];
    EXPECT_EQ(ErrorCodeOf([&] {
                  CallNamedPipe(PipePath("S5"), "x", 1, answer, sizeof answer, kTimeoutMs);
              }),
              ERROR_PIPE_BUSY);
    for (int i = 0; i < 64; ++i) {
        std::string request = "ECHO" + std::to_string(i);
        clients[i]->Send(request.data(), request.size());
    }
    for (int i = 0; i < 64; ++i) {
        size_t n = clients[i]->Receive(answer, sizeof answer, kTimeoutMs);
        EXPECT_EQ(std::string(answer, n), "ECHO" + std::to_string(i));
    }
    clients.pop_back();
    TPipeStatistics counters = Stats("S5"); // the freed instance takes the next client
    EXPECT_EQ(+counters.Connections, 65u);
}

TEST_F(PipeServerTest, OneInstanceIsBusyWhileItsClientStays) {
    TTestServer server("S6", 1);
    WaitForPipe("S6");
    char answer[64];
    {
        TPipeClient holder(PipePath("S6"), kTimeoutMs);
        EXPECT_EQ(ErrorCodeOf([&] {
                      CallNamedPipe(PipePath("S6"), "ECHO", 4, answer, sizeof answer, kTimeoutMs);
                  }),
                  ERROR_PIPE_BUSY);
    }
    EXPECT_EQ(CallNamedPipe(PipePath("S6"), "ECHO", 4, answer, sizeof answer, kTimeoutMs), 4u);
}

// A client that sends requests back to back on several threads and reads the answers on
// others, so that its instance nearly always has the next request waiting. It talks through a
// blocking socket of its own to be as quick as the server.
class FloodingClient {
public:
    explicit FloodingClient(const std::string& name) {
        fd_ = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::string path = PipeSocketPath(name);
        std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
        timeval limit{2, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        char admitted = 0;
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::recv(fd_, &admitted, 1, 0) != 1)
            return;
        for (auto& sender : senders_)
            sender = std::thread([this] {
                while (!stop_ && ::send(fd_, "ECHO flood", 10, MSG_NOSIGNAL) == 10) {
                }
            });
        for (auto& receiver : receivers_)
            receiver = std::thread([this] {
                char answer[64];
                while (!stop_ && ::recv(fd_, answer, sizeof answer, 0) > 0)
                    ++received_;
            });
    }
    ~FloodingClient() {
        stop_ = true;
        ::shutdown(fd_, SHUT_RDWR); // wakes the threads blocked in send or recv
        for (auto& t : senders_)
            if (t.joinable())
                t.join();
        for (auto& t : receivers_)
            if (t.joinable())
                t.join();
        ::close(fd_);
    }
    // Waits until the flood runs.
    bool Running() const {
        for (int i = 0; i < 500 && received_ < 1000; ++i)
            std::this_thread::sleep_for(10ms);
        return received_ >= 1000;
    }
    uint64_t Received() const { return received_; }

private:
    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> received_{0};
    std::thread senders_[4];
    std::thread receivers_[2];
};

TEST_F(PipeServerTest, BusyClientDoesNotStarveTheOthers) {
    TTestServer server("S12", 2);
    WaitForPipe("S12");
    FloodingClient flood("S12");
    ASSERT_TRUE(flood.Running());
    // The other instance still admits and answers a client, while the flood goes on.
    char answer[64];
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 20; ++i)
        ASSERT_EQ(CallNamedPipe(PipePath("S12"), "ECHO!", 5, answer, sizeof answer, 2000), 5u)
            << "call " << i;
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    uint64_t before = flood.Received();
    std::this_thread::sleep_for(50ms);
    EXPECT_GT(flood.Received(), before);
}

TEST_F(PipeServerTest, BusyClientOfTheOnlyInstanceGetsOthersRefusedAtOnce) {
    TTestServer server("S13", 1);
    WaitForPipe("S13");
    FloodingClient flood("S13");
    ASSERT_TRUE(flood.Running());
    char answer[64];
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ErrorCodeOf(
                  [&] { CallNamedPipe(PipePath("S13"), "ECHO", 4, answer, sizeof answer, 2000); }),
              ERROR_PIPE_BUSY);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

TEST_F(PipeServerTest, ClientThatNeverReadsItsAnswersHoldsOnlyItsInstance) {
    TTestServer server("S14", 2);
    WaitForPipe("S14");
    TPipeClient stuck(PipePath("S14"), 300); // a full socket fails its send after 300 ms
    // Largest requests, answered by as large answers that the client leaves unread, until
    // neither side's buffers take more.
    std::string largest = "ECHO" + std::string(PipeBufferSize - 4, 's');
    int sent = 0;
    auto start = std::chrono::steady_clock::now();
    for (; sent < 200; ++sent)
        if (ErrorCodeOf([&] { stuck.Send(largest.data(), largest.size()); }) != 0)
            break;
    EXPECT_GT(sent, 2);
    EXPECT_LT(sent, 200);
    char answer[64];
    EXPECT_EQ(CallNamedPipe(PipePath("S14"), "ECHO", 4, answer, sizeof answer, kTimeoutMs), 4u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
}

TEST_F(PipeServerTest, ZeroOrNegativeInstancesServeNothingAndStop) {
    for (int asked : {0, -3}) {
        auto server = std::make_unique<TTestServer>("S7", asked);
        EXPECT_EQ(server->InstanceCount(), 0);
        std::this_thread::sleep_for(20ms);
        EXPECT_FALSE(FileExists(PipeSocketPath("S7")));
        EXPECT_FALSE(server->Finished());
        auto start = std::chrono::steady_clock::now();
        server.reset();
        EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    }
}

TEST_F(PipeServerTest, StopEndsTheThreadPromptlyWithClientsConnected) {
    auto server = std::make_unique<TTestServer>("S8", 4);
    WaitForPipe("S8");
    TPipeClient idle(PipePath("S8"), kTimeoutMs);
    TPipeClient waiting(PipePath("S8"), kTimeoutMs);
    waiting.Send("ECHO", 4);
    char answer[16];
    ASSERT_EQ(waiting.Receive(answer, sizeof answer, kTimeoutMs), 4u);
    auto start = std::chrono::steady_clock::now();
    server->Stop();
    server->Stop(); // harmless: the event is already signaled
    for (int i = 0; i < 100 && !server->Finished(); ++i)
        std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(server->Finished());
    server.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_FALSE(FileExists(PipeSocketPath("S8")));
    EXPECT_EQ(ErrorCodeOf([&] { idle.Receive(answer, sizeof answer, kTimeoutMs); }), EPIPE);
}

TEST_F(PipeServerTest, FailingRequestHandlerDropsOnlyThatClient) {
    TTestServer server("S9", 1);
    WaitForPipe("S9");
    char answer[16];
    EXPECT_EQ(ErrorCodeOf([&] {
                  CallNamedPipe(PipePath("S9"), "THROW", 5, answer, sizeof answer, kTimeoutMs);
              }),
              EPIPE);
    EXPECT_EQ(CallNamedPipe(PipePath("S9"), "ECHO", 4, answer, sizeof answer, kTimeoutMs), 4u);
    EXPECT_NE(LogText().find("\tPipe request failed: request handler failed"), std::string::npos);
    EXPECT_EQ(ErrorCodeOf([&] {
                  CallNamedPipe(PipePath("S9"), "THROW42", 7, answer, sizeof answer, kTimeoutMs);
              }),
              EPIPE);
    EXPECT_EQ(CallNamedPipe(PipePath("S9"), "ECHO", 4, answer, sizeof answer, kTimeoutMs), 4u);
    EXPECT_FALSE(server.Finished());
}

TEST_F(PipeServerTest, VerboseServerLogsItsLifeAndResets) {
    {
        TTestServer server("S10", 1, 1);
        WaitForPipe("S10");
        TPipeClient client(PipePath("S10"), kTimeoutMs);
        client.Send("", 0);
        char answer[8];
        EXPECT_EQ(ErrorCodeOf([&] { client.Receive(answer, sizeof answer, kTimeoutMs); }), EPIPE);
    }
    std::string log = LogText();
    EXPECT_NE(log.find("\tNamed pipe server thread started"), std::string::npos);
    EXPECT_NE(log.find("\tDisconnected from client and listening again"), std::string::npos);
    EXPECT_NE(log.find("\tNamed pipe server thread finished"), std::string::npos);
}

TEST_F(PipeServerTest, PipeThatCannotBeCreatedIsLoggedAndNotServed) {
    TTestServer blocker("S11", 1);
    WaitForPipe("S11");
    TTestServer second("S11", 1); // the name is taken by a running server
    for (int i = 0; i < 200 && !second.Finished(); ++i)
        std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(second.Finished());
    EXPECT_NE(LogText().find("\tFailed to create pipe instance: "), std::string::npos);
    // The first server still owns and serves the pipe.
    char answer[8];
    EXPECT_EQ(CallNamedPipe(PipePath("S11"), "ECHO", 4, answer, sizeof answer, kTimeoutMs), 4u);
}

} // namespace

// Four clients that connect and say nothing hold every instance of a four-instance pipe (the
// information pipe's count) only for a few seconds: then they are dropped and a caller gets
// its answer, while one that keeps talking keeps its instance.
TEST_F(PipeServerTest, SilentClientsAreDroppedAndTheNextCallerIsAnswered) {
    TTestServer server("S20", 4);
    WaitForPipe("S20");
    std::vector<std::unique_ptr<TPipeClient>> silent;
    for (int i = 0; i < 3; ++i)
        silent.push_back(std::make_unique<TPipeClient>(PipePath("S20"), kTimeoutMs));
    TPipeClient talker(PipePath("S20"), kTimeoutMs);
    char answer[64];
    EXPECT_EQ(ErrorCodeOf([&] {
                  CallNamedPipe(PipePath("S20"), "ECHO", 4, answer, sizeof answer, kTimeoutMs);
              }),
              ERROR_PIPE_BUSY);

    const auto start = std::chrono::steady_clock::now();
    bool answered = false;
    while (!answered && std::chrono::steady_clock::now() - start < 10s) {
        talker.Send("ECHO", 4);
        EXPECT_EQ(talker.Receive(answer, sizeof answer, kTimeoutMs), 4u);
        answered = ErrorCodeOf([&] {
                       CallNamedPipe(PipePath("S20"), "ECHO", 4, answer, sizeof answer, kTimeoutMs);
                   }) == 0;
        if (!answered)
            std::this_thread::sleep_for(200ms);
    }
    EXPECT_TRUE(answered);
    EXPECT_GE(std::chrono::steady_clock::now() - start, PipeFirstRequestLimit - 500ms);
    for (auto& client : silent)
        EXPECT_EQ(ErrorCodeOf([&] { client->Receive(answer, sizeof answer, kTimeoutMs); }), EPIPE);
    talker.Send("ECHO", 4);
    EXPECT_EQ(talker.Receive(answer, sizeof answer, kTimeoutMs), 4u);
}
