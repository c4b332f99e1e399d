// The named-pipe server thread: one thread serves every instance of one pipe. Each instance
// waits for a client, reads one request message, lets ProcessRequest build the answer, writes
// it, then reads the client's next request until the client goes away; then the instance is
// disconnected and waits for the next client. A client that sends nothing for too long (see
// PipeFirstRequestLimit and PipeIdleLimit) is disconnected the same way, so that silent
// connections cannot hold every instance.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

#include "common/datetime.h"
#include "platform/namedpipe.h"

// Most instances one pipe server serves.
constexpr int PipeMaxInstances = 64;
// Size of the request and of the answer buffer of each instance: one whole message.
constexpr uint32_t PipeBufferSize = 16384;

#pragma pack(push, 1)
// Traffic counters of one pipe server; sent as is in the statistics answer (56 bytes, packed,
// little-endian).
struct TPipeStatistics {
    SYSTEMTIME StartTime; // local time at which the server created its instances
    uint32_t Connections;
    uint32_t ConnectionErrors;
    uint32_t Requests;
    uint64_t BytesRead;
    uint32_t Reserved; // always 0
    uint32_t Answers;
    uint64_t BytesWritten;
    uint32_t WriteErrors;
};
#pragma pack(pop)
static_assert(sizeof(TPipeStatistics) == 56);
static_assert(offsetof(TPipeStatistics, StartTime) == 0);
static_assert(offsetof(TPipeStatistics, Connections) == 16);
static_assert(offsetof(TPipeStatistics, ConnectionErrors) == 20);
static_assert(offsetof(TPipeStatistics, Requests) == 24);
static_assert(offsetof(TPipeStatistics, BytesRead) == 28);
static_assert(offsetof(TPipeStatistics, Reserved) == 36);
static_assert(offsetof(TPipeStatistics, Answers) == 40);
static_assert(offsetof(TPipeStatistics, BytesWritten) == 44);
static_assert(offsetof(TPipeStatistics, WriteErrors) == 52);

// Instance states.
constexpr uint8_t PipeConnecting = 0;
constexpr uint8_t PipeReading = 1;
constexpr uint8_t PipeWriting = 2;

struct TPipeInstance {
    std::array<uint8_t, PipeBufferSize> Request; // zero-filled before each read
    uint32_t RequestLength = 0;
    std::array<uint8_t, PipeBufferSize> Answer;
    uint32_t AnswerLength = 0;
    uint8_t State = PipeConnecting;
    bool Pending = false; // an operation is in progress
};

class TPipeServer {
public:
    // Serves the pipe `name` with min(instances, 64) instances; the socket file gets `mode`
    // (PipeModeEveryone or PipeModeOwnerOnly). The thread is created suspended: the creator
    // calls Start() once its own fields are in place, since the thread calls ProcessRequest.
    TPipeServer(const std::string& name, int instances, mode_t mode);
    // Stops the thread and waits for its end. A derived class calls Destroy() in its own
    // destructor, before its fields go away.
    virtual ~TPipeServer();
    TPipeServer(const TPipeServer&) = delete;
    TPipeServer& operator=(const TPipeServer&) = delete;

    void Start();
    // Asks the thread to end; returns at once. Harmless when repeated.
    void Stop();
    // Stop, then wait for the thread's end.
    void Destroy();

    // Called on the server thread once per request, with the answer buffer (capacity 16384)
    // zero-filled on first use and reused afterwards. An override clears `UseDefault`, fills
    // `Answer` and sets `AnswerLength`; an exception drops the client without an answer.
    virtual void ProcessRequest(const uint8_t* Request, uint32_t RequestLength, uint8_t* Answer,
                                int32_t AnswerCapacity, uint32_t& AnswerLength, bool& UseDefault);

    // Copies the traffic counters; on the server thread only (while answering a request).
    void CopyStatistics(TPipeStatistics& Dest) const { Dest = Statistics; }

    const std::string& PipePath() const { return FPipePath; }
    int InstanceCount() const { return FInstanceCount; }
    bool Finished() const { return FFinished.load(); }

    // Above 0 enables the extra log lines; 0 after construction.
    std::atomic<int> Verbosity{0};

protected:
    void Execute();

private:
    // The thread body: Execute, and when an exception escapes it, the instances are closed
    // and the thread ends instead of taking the process down.
    void Run();
    bool CreateInstances();
    void ListenInstance(int i);
    bool CompleteIo(int i);
    void ContinueIo(int i);
    void ContinueReading(int i);
    void ContinueWriting(int i);
    void ResetInstance(int i);
    bool BuildAnswer(int i);
    void CloseInstances();

    std::string FName;
    std::string FPipePath;
    int FInstanceCount;
    mode_t FMode;
    TManualResetEvent StopEvent;
    std::unique_ptr<TNamedPipeServer> FPipe;
    std::vector<TPipeInstance> Instances;
    TPipeStatistics Statistics{};
    std::atomic<bool> FTerminated{false};
    std::atomic<bool> FFinished{false};
    std::thread FThread;
};
