// Named pipes on Linux. A pipe "\\.\pipe\NAME" is an AF_UNIX SOCK_SEQPACKET socket at
// PipeSocketPath(NAME), so message boundaries are kept. One message is at most
// PipeMessageMax bytes; a longer one is detected and the client disconnected.
//
// Server side: one listening socket serves a fixed number of instances. Each instance is a
// slot that waits for a client (connect), then reads and writes messages on that client's
// connection. Operations complete at once or stay pending; a completed operation leaves the
// instance's event signaled until the next operation on it starts. Wait() returns the stop
// event first, then the signaled instances in turn, so that one busy client cannot hold the
// server for itself.
//
// A client is admitted only by a free instance: right after its connection is accepted it gets
// a one-byte admission message. When every instance is busy it gets a refusal instead and the
// connection is closed, so the client fails at once with "All pipe instances are busy." (231).
// A user other than root and the server's own (its effective user, taken from the connection's
// peer credentials) holds at most one instance at a time, and such users together leave one
// instance free for root (a one-instance pipe excepted); a client beyond that share is refused
// the same way.
//
// An admitted client cannot hold its instance by saying nothing: a read that waits for its
// first request longer than the first-request limit after the admission, or for a later
// request longer than the idle limit, or a write that the client does not take within the
// idle limit, fails with ETIMEDOUT; the server then drops the client like any other failure.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

// Largest message a pipe carries, in bytes.
constexpr size_t PipeMessageMax = 16384;

// Error codes that callers test; they keep the numbers of the original platform and do not
// collide with the errno values used for every other failure.
constexpr int ERROR_BAD_NETPATH = 53;
constexpr int ERROR_PIPE_BUSY = 231;

// How long an admitted client may keep its instance without a request: before its first one,
// and between two of them. The clients of this system send their request right after they
// were admitted and read the answer at once.
constexpr std::chrono::milliseconds PipeFirstRequestLimit{3000};
constexpr std::chrono::milliseconds PipeIdleLimit{10000};

// Socket file modes: the information pipe is open to every local user, the control pipe to root.
constexpr mode_t PipeModeEveryone = 0666;
constexpr mode_t PipeModeOwnerOnly = 0600;

// A manual-reset event over an eventfd: Set() leaves it signaled until Reset().
class TManualResetEvent {
public:
    TManualResetEvent(); // throws EOSError
    ~TManualResetEvent();
    TManualResetEvent(const TManualResetEvent&) = delete;
    TManualResetEvent& operator=(const TManualResetEvent&) = delete;

    void Set();
    void Reset();
    bool IsSet() const;
    // Blocks until the event is signaled.
    void WaitFor() const;
    int Fd() const { return fd_; }

private:
    int fd_ = -1;
};

// Creates the listening socket of pipe `name` in the pipe directory (created 0755 when it is
// missing) with the socket file mode `mode`, as the calling process: bound under a temporary
// name, given its mode and renamed to the pipe's name, so no client reaches it with looser
// rights. A stale socket file left by a crashed run is replaced; a pipe that a running server
// still serves is not (EADDRINUSE); any other file there is left alone (EEXIST).
int BindPipeListener(const std::string& name, mode_t mode);

// A pipe name that BindPipeListener takes: not empty, no "/" and no NUL, not "." or "..".
bool IsValidPipeName(const std::string& name);

// Where a pipe server gets its listening socket from. A service that the service manager
// started runs under any logon account, while the pipe directory is root's: it asks the
// manager, which binds the socket, keeps the name as that service's and hands the socket over.
// Unset (the default), servers bind their sockets themselves. Set once, before the first
// server is created.
using TPipeBinder = std::function<int(const std::string& name, mode_t mode)>;
void SetPipeBinder(TPipeBinder binder);

// The pipe name of a local pipe path "\\.\pipe\NAME". A path naming another computer fails
// with ERROR_BAD_NETPATH, anything else that is not a pipe path with EINVAL.
std::string PipeNameFromPath(const std::string& pipePath);

// How an operation that was just started went.
enum class TPipeStart {
    Completed, // done at once; the instance's event is signaled
    Connected, // connect only: a client was already waiting and is admitted now
    Pending,   // in progress; the event is signaled when it completes
    Failed,    // failed at once; the error code tells why
};

// The server side of one named pipe with its instances. Not thread safe: one thread owns it.
class TNamedPipeServer {
public:
    // Creates the socket file of pipe `name` (through the pipe binder when one is set, else
    // with BindPipeListener) with `mode` and `instanceCount` instances.
    TNamedPipeServer(const std::string& name, int instanceCount, mode_t mode);
    ~TNamedPipeServer(); // closes every connection and removes the socket file
    TNamedPipeServer(const TNamedPipeServer&) = delete;
    TNamedPipeServer& operator=(const TNamedPipeServer&) = delete;

    int InstanceCount() const { return static_cast<int>(instances_.size()); }
    const std::string& SocketPath() const { return path_; }
    // Replaces the limits of a silent client (PipeFirstRequestLimit, PipeIdleLimit).
    void SetSilenceLimits(std::chrono::milliseconds firstRequest, std::chrono::milliseconds idle);

    // Waits for a client on instance i. Connected: a waiting client was admitted at once (the
    // event is left as it was). Pending: the connect completes later.
    TPipeStart Connect(int i, int& error);
    // Reads one message of at most `capacity` bytes into `buffer`, which must stay valid
    // until the read completes. Completed with 0 bytes: an empty message or the client left.
    // A longer message fails with EMSGSIZE.
    TPipeStart Read(int i, void* buffer, uint32_t capacity, uint32_t& bytes, int& error);
    // Writes one message; `buffer` must stay valid until the write completes.
    TPipeStart Write(int i, const void* buffer, uint32_t length, uint32_t& bytes, int& error);
    // Result of the pending operation of instance i once its event is signaled; false with an
    // error code when it failed (EINPROGRESS when it has not completed yet).
    bool GetResult(int i, uint32_t& bytes, int& error);
    // Drops the pending operation of instance i.
    void CancelIo(int i);
    // Closes the client connection of instance i; the instance takes no part in any exchange
    // until the next Connect.
    bool Disconnect(int i, int& error);
    void SetEvent(int i);

    // Waits for the stop event or the event of an instance: 0 for the stop event, 1 + i for
    // instance i, -1 when the wait itself failed (`error` holds the code).
    int Wait(const TManualResetEvent& stop, int& error);

private:
    struct Instance;
    // Hands the accepted client `fd` of user `uid` to `inst`, completing its connect either
    // way.
    void Admit(Instance& inst, int fd, uid_t uid);
    void Refuse(int fd);
    void AcceptWaiting();
    // Users other than root and the server's own have a limited share of the instances.
    static bool IsLimitedUser(uid_t uid);
    // Whether the user of the accepted client `fd` (returned in `uid`) may take an instance:
    // such a user holds at most one, and all of them together leave one for root.
    bool WithinShare(int fd, uid_t& uid) const;
    // The client of `inst` has gone, or its exchange has ended: it no longer counts.
    static bool ClientHasLeft(const Instance& inst);
    // Carries on the pending read or write of `inst` once its socket is ready.
    void Perform(Instance& inst);
    // The next signaled instance after the one returned last, or -1.
    int NextSignaled();
    // The first instance whose connect waits for a client, or nullptr.
    Instance* WaitingInstance() const;
    // Some instance has just lost its client and is about to wait for the next one.
    bool InstanceIsFreeing() const;
    // Fails the pending reads and writes whose client has been silent too long; returns the
    // milliseconds until the next such limit is reached (-1: none).
    int ExpireSilentClients();
    Instance& At(int i) { return *instances_.at(static_cast<size_t>(i)); }

    std::string path_;
    int listenFd_ = -1;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
    // Accepting rests until then after the process ran short of descriptors or memory.
    std::chrono::steady_clock::time_point acceptPausedUntil_{};
    int lastSignaled_ = -1; // instance the last wait returned
    std::chrono::milliseconds firstRequestLimit_ = PipeFirstRequestLimit;
    std::chrono::milliseconds idleLimit_ = PipeIdleLimit;
    std::vector<std::unique_ptr<Instance>> instances_;
};

// A client connection to a pipe: admitted by a free instance when it is opened.
class TPipeClient {
public:
    // Opens the pipe at "\\.\pipe\NAME". Fails at once with ERROR_PIPE_BUSY when no instance
    // is free, with ERROR_BAD_NETPATH for another computer, with the errno of the failure
    // otherwise (ENOENT when no server serves the pipe, EACCES when access is refused or the
    // socket was set up by a user other than root or this process's own, ETIMEDOUT when the
    // server did not admit the client within `timeoutMs`). Nothing is sent to a socket whose
    // listener is not root's or the caller's own: only they can serve a pipe name.
    TPipeClient(const std::string& pipePath, int timeoutMs);
    ~TPipeClient();
    TPipeClient(const TPipeClient&) = delete;
    TPipeClient& operator=(const TPipeClient&) = delete;

    // Sends one message (any length the socket takes; the server drops longer ones).
    void Send(const void* data, size_t length);
    // Receives one message into `buffer`. Throws EPIPE when the server closed the connection,
    // EMSGSIZE when the message does not fit, ETIMEDOUT after `timeoutMs`.
    size_t Receive(void* buffer, size_t capacity, int timeoutMs);
    void Close();

private:
    int fd_ = -1;
    int timeoutMs_;
};

// One transaction: opens the pipe, writes `request`, reads one answer into `answer` and
// closes. Returns the answer's length. Never waits for a busy pipe; `timeoutMs` bounds the
// whole exchange. Errors as TPipeClient's. "\\PC\pipe\NAME" of another PC goes through
// ssh to that PC's pipe (platform/remotepc.h), with the same errors from there.
size_t CallNamedPipe(const std::string& pipePath, const void* request, size_t requestLength,
                     void* answer, size_t answerCapacity, int timeoutMs);
