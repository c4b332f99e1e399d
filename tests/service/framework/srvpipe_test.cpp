#include "service/framework/srvpipe.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <regex>
#include <thread>
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
// the test releases it, "THROW" by raising; anything else gets the default answer.
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
    EXPECT_NE(LogText().find("request handler failed"), std::string::npos);
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
