#include "platform/namedpipe.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <strings.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "common/langtext.h"
#include "platform/errors.h"
#include "platform/remotepc.h"
#include "platform/svcmgr/svcmgr_client.h"
#include "platform/svcroot.h"

namespace {

// The one-byte message a client gets right after its connection is accepted.
constexpr unsigned char kAdmitted = 0x01;
constexpr unsigned char kAllBusy = 0x02;

// How long the listening socket rests after the process ran out of descriptors or memory.
constexpr auto kAcceptPause = std::chrono::milliseconds(100);

// Most newcomers refused in one go, so that users who keep reconnecting cannot hold the
// server thread in its accept loop.
constexpr int kRefusalsPerRound = 64;

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { Reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int Get() const { return fd_; }
    int Release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void Reset() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

[[noreturn]] void ThrowErrno(int code) {
    throw OSErrorFromErrno(code);
}

bool IsResourceShortage(int code) {
    return code == EMFILE || code == ENFILE || code == ENOBUFS || code == ENOMEM;
}

void ValidatePipeName(const std::string& name) {
    if (!IsValidPipeName(name))
        ThrowErrno(EINVAL);
}

sockaddr_un SocketAddress(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path)
        ThrowErrno(ENAMETOOLONG);
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return addr;
}

int NewSeqPacketSocket() {
    int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        ThrowErrno(errno);
    return fd;
}

// True when a server accepts connections on the socket file at `path`.
bool SocketIsServed(const std::string& path) {
    Fd probe(NewSeqPacketSocket());
    sockaddr_un addr = SocketAddress(path);
    if (::connect(probe.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0)
        return true;
    return errno == EAGAIN || errno == EINPROGRESS;
}

// True when the listening socket that `fd` is connected to was set up by root (the service
// manager binds the sockets of its services) or by this process's own user.
bool ListenerIsTrusted(int fd) {
    ucred peer{};
    socklen_t length = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0)
        return false;
    return peer.uid == 0 || peer.uid == ::geteuid();
}

std::string TemporarySocketPath() {
    static std::atomic<unsigned> counter{0};
    return PipeDir() + "/.new-" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
}

// Milliseconds left until `deadline`, at least 0.
int RemainingMs(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Waits until `fd` is ready for `events`; false on time-out.
bool PollOne(int fd, short events, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        pollfd p{fd, events, 0};
        int n = ::poll(&p, 1, RemainingMs(deadline));
        if (n > 0)
            return true;
        if (n == 0)
            return false;
        if (errno != EINTR)
            ThrowErrno(errno);
    }
}

// Receives one message without waiting. Returns its length, or -1 with `error` set; a
// message longer than `capacity` fails with EMSGSIZE (the rest of it is discarded).
ssize_t ReceiveMessage(int fd, void* buffer, size_t capacity, int& error) {
    for (;;) {
        iovec iov{buffer, capacity};
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        ssize_t n = ::recvmsg(fd, &msg, MSG_DONTWAIT);
        if (n >= 0 && (msg.msg_flags & MSG_TRUNC)) {
            error = EMSGSIZE;
            return -1;
        }
        if (n >= 0)
            return n;
        if (errno != EINTR) {
            error = errno;
            return -1;
        }
    }
}

ssize_t SendMessage(int fd, const void* data, size_t length, int& error) {
    for (;;) {
        ssize_t n = ::send(fd, data, length, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n >= 0)
            return n;
        if (errno != EINTR) {
            error = errno;
            return -1;
        }
    }
}

} // namespace

// ---------------------------------------------------------------------------------------------

TManualResetEvent::TManualResetEvent() {
    fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd_ < 0)
        ThrowErrno(errno);
}

TManualResetEvent::~TManualResetEvent() {
    ::close(fd_);
}

void TManualResetEvent::Set() {
    uint64_t one = 1;
    // The counter only fails to grow when it is near its limit, which leaves it signaled.
    [[maybe_unused]] ssize_t n = ::write(fd_, &one, sizeof one);
}

void TManualResetEvent::Reset() {
    uint64_t value;
    [[maybe_unused]] ssize_t n = ::read(fd_, &value, sizeof value);
}

bool TManualResetEvent::IsSet() const {
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0;
}

void TManualResetEvent::WaitFor() const {
    pollfd p{fd_, POLLIN, 0};
    while (::poll(&p, 1, -1) < 0 && errno == EINTR) {
    }
}

// ---------------------------------------------------------------------------------------------

std::string PipeNameFromPath(const std::string& pipePath) {
    // "\\" server "\" "pipe" "\" name
    if (pipePath.size() < 2 || pipePath[0] != '\\' || pipePath[1] != '\\')
        ThrowErrno(EINVAL);
    size_t serverEnd = pipePath.find('\\', 2);
    if (serverEnd == std::string::npos || serverEnd == 2)
        ThrowErrno(EINVAL);
    std::string server = pipePath.substr(2, serverEnd - 2);
    size_t kindEnd = pipePath.find('\\', serverEnd + 1);
    if (kindEnd == std::string::npos)
        ThrowErrno(EINVAL);
    std::string kind = pipePath.substr(serverEnd + 1, kindEnd - serverEnd - 1);
    if (kind.size() != 4 || ::strncasecmp(kind.c_str(), "pipe", 4) != 0)
        ThrowErrno(EINVAL);
    if (server != ".")
        throw EOSError(ERROR_BAD_NETPATH, langtext::PipeRemoteNotReachable);
    std::string name = pipePath.substr(kindEnd + 1);
    ValidatePipeName(name);
    return name;
}

// ---------------------------------------------------------------------------------------------

namespace {
enum class PipeOp { None, Connect, Read, Write };
}

struct TNamedPipeServer::Instance {
    int fd = -1;
    PipeOp pending = PipeOp::None;
    bool done = false; // the pending operation has completed
    bool ok = false;
    uint32_t bytes = 0;
    int error = 0;
    bool signaled = false;
    void* readBuffer = nullptr;
    const void* writeBuffer = nullptr;
    uint32_t length = 0; // read capacity or write length
    // When the client was admitted, whether it has sent a request since, and when the pending
    // read or write fails for the client's silence.
    std::chrono::steady_clock::time_point admitted{};
    bool spoke = false;
    std::chrono::steady_clock::time_point deadline{};
    // The client's user, and whether it is one whose share of the instances is limited
    // (anyone but root and the server's own user).
    uid_t uid = 0;
    bool limited = false;

    void Start(PipeOp op) {
        pending = op;
        done = false;
        ok = false;
        bytes = 0;
        error = 0;
        signaled = false;
    }
    // The completed operation ended the exchange with the client: the instance is about to be
    // disconnected and to wait for the next client.
    bool Ending() const {
        return signaled && done && (!ok || (pending == PipeOp::Read && bytes == 0));
    }
    void Complete(bool success, uint32_t count, int code) {
        done = true;
        ok = success;
        bytes = count;
        error = code;
        signaled = true;
    }
};

namespace {
TPipeBinder& PipeBinder() {
    static TPipeBinder binder;
    return binder;
}
} // namespace

void SetPipeBinder(TPipeBinder binder) {
    PipeBinder() = std::move(binder);
}

bool IsValidPipeName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

int BindPipeListener(const std::string& name, mode_t mode) {
    ValidatePipeName(name);
    const std::string path = PipeSocketPath(name);
    SocketAddress(path); // checks the length before anything is created
    const std::string dir = PipeDir();
    if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
        std::error_code ec;
        std::filesystem::create_directories(dir, ec);
        if (ec)
            ThrowErrno(ec.value());
        ::chmod(dir.c_str(), 0755);
    }

    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode))
            ThrowErrno(EEXIST);
        if (SocketIsServed(path))
            ThrowErrno(EADDRINUSE);
        // Otherwise a crashed run left it behind; the rename below replaces it.
    }

    Fd listener(NewSeqPacketSocket());
    std::string temporary = TemporarySocketPath();
    sockaddr_un addr = SocketAddress(temporary);
    if (::bind(listener.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        ThrowErrno(errno);
    // The file is created under the process umask and gets its real mode before it carries
    // the pipe's name, so no client can reach it with looser rights.
    if (::chmod(temporary.c_str(), mode) != 0 || ::listen(listener.Get(), SOMAXCONN) != 0 ||
        ::rename(temporary.c_str(), path.c_str()) != 0) {
        int code = errno;
        ::unlink(temporary.c_str());
        ThrowErrno(code);
    }
    return listener.Release();
}

TNamedPipeServer::TNamedPipeServer(const std::string& name, int instanceCount, mode_t mode) {
    ValidatePipeName(name);
    path_ = PipeSocketPath(name);
    SocketAddress(path_);
    // The instances first: nothing can fail once the socket exists.
    instances_.reserve(instanceCount > 0 ? static_cast<size_t>(instanceCount) : 0);
    for (int i = 0; i < instanceCount; ++i)
        instances_.push_back(std::make_unique<Instance>());

    Fd listener(PipeBinder() ? PipeBinder()(name, mode) : BindPipeListener(name, mode));
    ::fcntl(listener.Get(), F_SETFD, FD_CLOEXEC);
    ::fcntl(listener.Get(), F_SETFL, ::fcntl(listener.Get(), F_GETFL) | O_NONBLOCK);
    struct stat st {};
    if (::stat(path_.c_str(), &st) == 0) {
        dev_ = st.st_dev;
        ino_ = st.st_ino;
    }
    listenFd_ = listener.Release();
}

TNamedPipeServer::~TNamedPipeServer() {
    for (auto& inst : instances_)
        if (inst->fd >= 0)
            ::close(inst->fd);
    ::close(listenFd_);
    // Remove the socket file unless another server has put its own in its place meanwhile.
    struct stat st {};
    if (::stat(path_.c_str(), &st) == 0 && st.st_dev == dev_ && st.st_ino == ino_)
        ::unlink(path_.c_str());
}

void TNamedPipeServer::Admit(Instance& inst, int fd, uid_t uid) {
    int code = 0;
    if (SendMessage(fd, &kAdmitted, 1, code) == 1) {
        inst.fd = fd;
        inst.uid = uid;
        inst.limited = IsLimitedUser(uid);
        inst.admitted = std::chrono::steady_clock::now();
        inst.spoke = false;
        inst.Complete(true, 0, 0);
    } else {
        ::close(fd);
        inst.Complete(false, 0, code);
    }
}

void TNamedPipeServer::Refuse(int fd) {
    int ignored = 0;
    SendMessage(fd, &kAllBusy, 1, ignored);
    ::close(fd);
}

TPipeStart TNamedPipeServer::Connect(int i, int& error) {
    Instance& inst = At(i);
    if (inst.fd >= 0) {
        ::close(inst.fd);
        inst.fd = -1;
    }
    inst.Start(PipeOp::Connect);
    if (std::chrono::steady_clock::now() < acceptPausedUntil_)
        return TPipeStart::Pending;
    int refused = 0;
    for (;;) {
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        uid_t uid = 0;
        if (fd >= 0 && !WithinShare(fd, uid)) {
            Refuse(fd);
            if (++refused < kRefusalsPerRound)
                continue;
            return TPipeStart::Pending;
        }
        if (fd >= 0) {
            Admit(inst, fd, uid);
            if (!inst.ok) // the client left before it was admitted: report it as a failed connect
                return TPipeStart::Pending;
            inst.Start(PipeOp::None);
            return TPipeStart::Connected;
        }
        if (errno == EINTR || errno == ECONNABORTED)
            continue;
        if (errno == EAGAIN)
            return TPipeStart::Pending;
        if (IsResourceShortage(errno)) {
            acceptPausedUntil_ = std::chrono::steady_clock::now() + kAcceptPause;
            return TPipeStart::Pending;
        }
        error = errno;
        inst.Start(PipeOp::None);
        return TPipeStart::Failed;
    }
}

TPipeStart TNamedPipeServer::Read(int i, void* buffer, uint32_t capacity, uint32_t& bytes,
                                  int& error) {
    Instance& inst = At(i);
    inst.Start(PipeOp::Read);
    if (inst.fd < 0) {
        inst.Start(PipeOp::None);
        error = ENOTCONN;
        return TPipeStart::Failed;
    }
    int code = 0;
    ssize_t n = ReceiveMessage(inst.fd, buffer, capacity, code);
    if (n >= 0) {
        inst.Complete(true, static_cast<uint32_t>(n), 0);
        bytes = inst.bytes;
        return TPipeStart::Completed;
    }
    if (code == EAGAIN) {
        inst.readBuffer = buffer;
        inst.length = capacity;
        inst.deadline = inst.spoke ? std::chrono::steady_clock::now() + idleLimit_
                                   : inst.admitted + firstRequestLimit_;
        return TPipeStart::Pending;
    }
    inst.Start(PipeOp::None);
    error = code;
    return TPipeStart::Failed;
}

TPipeStart TNamedPipeServer::Write(int i, const void* buffer, uint32_t length, uint32_t& bytes,
                                   int& error) {
    Instance& inst = At(i);
    inst.Start(PipeOp::Write);
    inst.spoke = true; // an answer follows a request
    if (inst.fd < 0) {
        inst.Start(PipeOp::None);
        error = ENOTCONN;
        return TPipeStart::Failed;
    }
    int code = 0;
    ssize_t n = SendMessage(inst.fd, buffer, length, code);
    if (n >= 0) {
        inst.Complete(true, static_cast<uint32_t>(n), 0);
        bytes = inst.bytes;
        return TPipeStart::Completed;
    }
    if (code == EAGAIN) {
        inst.writeBuffer = buffer;
        inst.length = length;
        inst.deadline = std::chrono::steady_clock::now() + idleLimit_;
        return TPipeStart::Pending;
    }
    inst.Start(PipeOp::None);
    error = code;
    return TPipeStart::Failed;
}

bool TNamedPipeServer::GetResult(int i, uint32_t& bytes, int& error) {
    Instance& inst = At(i);
    if (!inst.done) {
        error = EINPROGRESS;
        return false;
    }
    bytes = inst.bytes;
    error = inst.error;
    return inst.ok;
}

void TNamedPipeServer::CancelIo(int i) {
    At(i).Start(PipeOp::None);
}

bool TNamedPipeServer::Disconnect(int i, int& error) {
    Instance& inst = At(i);
    inst.Start(PipeOp::None);
    error = 0;
    if (inst.fd >= 0 && ::close(inst.fd) != 0)
        error = errno;
    inst.fd = -1;
    return error == 0;
}

void TNamedPipeServer::SetEvent(int i) {
    At(i).signaled = true;
}

int TNamedPipeServer::NextSignaled() {
    size_t n = instances_.size();
    size_t first = static_cast<size_t>(lastSignaled_ + 1);
    for (size_t k = 0; k < n; ++k) {
        size_t i = (first + k) % n;
        if (instances_[i]->signaled) {
            lastSignaled_ = static_cast<int>(i);
            return lastSignaled_;
        }
    }
    return -1;
}

TNamedPipeServer::Instance* TNamedPipeServer::WaitingInstance() const {
    for (const auto& inst : instances_)
        if (inst->pending == PipeOp::Connect && !inst->done)
            return inst.get();
    return nullptr;
}

bool TNamedPipeServer::InstanceIsFreeing() const {
    for (const auto& inst : instances_)
        if (inst->Ending())
            return true;
    return false;
}

void TNamedPipeServer::Perform(Instance& inst) {
    int code = 0;
    ssize_t n = inst.pending == PipeOp::Read
                    ? ReceiveMessage(inst.fd, inst.readBuffer, inst.length, code)
                    : SendMessage(inst.fd, inst.writeBuffer, inst.length, code);
    if (n < 0 && code == EAGAIN)
        return; // not ready after all
    inst.Complete(n >= 0, n >= 0 ? static_cast<uint32_t>(n) : 0, n >= 0 ? 0 : code);
}

void TNamedPipeServer::SetSilenceLimits(std::chrono::milliseconds firstRequest,
                                        std::chrono::milliseconds idle) {
    firstRequestLimit_ = firstRequest;
    idleLimit_ = idle;
}

int TNamedPipeServer::ExpireSilentClients() {
    const auto now = std::chrono::steady_clock::now();
    int next = -1;
    for (auto& inst : instances_) {
        const bool waiting = inst->fd >= 0 && !inst->done &&
                             (inst->pending == PipeOp::Read || inst->pending == PipeOp::Write);
        if (!waiting)
            continue;
        if (now >= inst->deadline) {
            inst->Complete(false, 0, ETIMEDOUT);
            continue;
        }
        const int left = RemainingMs(inst->deadline) + 1;
        next = next < 0 ? left : std::min(next, left);
    }
    return next;
}

void TNamedPipeServer::AcceptWaiting() {
    for (int refused = 0; refused < kRefusalsPerRound; ++refused) {
        int fd;
        do {
            fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        } while (fd < 0 && errno == EINTR);
        Instance* waiting = WaitingInstance();
        if (fd < 0) {
            if (IsResourceShortage(errno))
                acceptPausedUntil_ = std::chrono::steady_clock::now() + kAcceptPause;
            else if (errno != EAGAIN && errno != ECONNABORTED && waiting)
                waiting->Complete(false, 0, errno);
            return;
        }
        uid_t uid = 0;
        if (waiting && WithinShare(fd, uid)) {
            Admit(*waiting, fd, uid);
            return;
        }
        Refuse(fd);
        // A newcomer beyond its user's share lets the next one in the backlog (perhaps root's)
        // be looked at at once; when every instance is busy, one refusal per round as ever.
        if (!waiting)
            return;
    }
}

bool TNamedPipeServer::IsLimitedUser(uid_t uid) {
    return uid != 0 && uid != ::geteuid();
}

bool TNamedPipeServer::WithinShare(int fd, uid_t& uid) const {
    ucred peer{};
    socklen_t length = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0)
        return false;
    uid = peer.uid;
    if (!IsLimitedUser(uid))
        return true;
    // One instance stays for root, unless the pipe has just one.
    const size_t share = instances_.size() > 1 ? instances_.size() - 1 : instances_.size();
    // An instance whose client has just left does not count against that user, but it is not
    // free yet either: it counts in the share, so a user who reconnects at once never takes
    // the instance kept for root meanwhile.
    size_t held = 0;
    for (const auto& inst : instances_) {
        if (inst->fd < 0 || !inst->limited)
            continue;
        if (inst->uid == uid && !ClientHasLeft(*inst))
            return false; // one instance per user
        ++held;
    }
    return held < share;
}

bool TNamedPipeServer::ClientHasLeft(const Instance& inst) {
    if (inst.Ending())
        return true;
    pollfd p{inst.fd, 0, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR));
}

int TNamedPipeServer::Wait(const TManualResetEvent& stop, int& error) {
    std::vector<pollfd> fds;
    std::vector<Instance*> owners;
    for (;;) {
        if (stop.IsSet())
            return 0;
        const int silenceTimeout = ExpireSilentClients();
        // An instance that is signaled already does not end the wait before the sockets were
        // looked at: the other instances' completions and the clients that wait to be
        // admitted are taken in as well, so one client whose requests follow each other
        // without a break cannot keep the server from everybody else. The sockets of the
        // signaled instances are watched for a client that has left.
        bool signaled = false;
        fds.assign(1, pollfd{stop.Fd(), POLLIN, 0});
        owners.clear();
        bool listening = std::chrono::steady_clock::now() >= acceptPausedUntil_;
        if (listening)
            fds.push_back(pollfd{listenFd_, POLLIN, 0});
        for (auto& inst : instances_) {
            signaled = signaled || inst->signaled;
            if (inst->fd < 0)
                continue;
            short events = 0;
            if (!inst->done && inst->pending == PipeOp::Read)
                events = POLLIN;
            else if (!inst->done && inst->pending == PipeOp::Write)
                events = POLLOUT;
            else if (!inst->signaled)
                continue;
            fds.push_back(pollfd{inst->fd, events, 0});
            owners.push_back(inst.get());
        }
        int timeout = -1;
        if (signaled)
            timeout = 0;
        else if (!listening)
            timeout = RemainingMs(acceptPausedUntil_) + 1;
        // A client that stays silent is dropped when its limit is reached.
        if (silenceTimeout >= 0 && (timeout < 0 || silenceTimeout < timeout))
            timeout = silenceTimeout;

        if (::poll(fds.data(), fds.size(), timeout) < 0) {
            if (errno == EINTR)
                continue;
            error = errno;
            return -1;
        }
        if (fds[0].revents)
            continue;
        size_t firstInstance = listening ? 2 : 1;
        bool clientLeft = false;
        for (size_t k = firstInstance; k < fds.size(); ++k) {
            // A client that has hung up (perhaps right after its last request, which is read
            // now and answered in vain) frees its instance soon.
            if (fds[k].revents & (POLLHUP | POLLERR))
                clientLeft = true;
            if (fds[k].revents && fds[k].events)
                Perform(*owners[k - firstInstance]);
        }
        // A newcomer is admitted by a waiting instance at once. It is refused only when no
        // instance is about to be freed: a client that has just left frees its instance
        // before a newcomer is told that every instance is busy.
        bool freeing = clientLeft || InstanceIsFreeing();
        if (listening && (fds[1].revents & POLLIN) && (WaitingInstance() || !freeing))
            AcceptWaiting();
        // Signaled instances take their turn one after the other.
        if (int next = NextSignaled(); next >= 0)
            return next + 1;
    }
}

// ---------------------------------------------------------------------------------------------

TPipeClient::TPipeClient(const std::string& pipePath, int timeoutMs) : timeoutMs_(timeoutMs) {
    std::string name = PipeNameFromPath(pipePath);
    sockaddr_un addr = SocketAddress(PipeSocketPath(name));
    Fd sock(NewSeqPacketSocket());
    if (::connect(sock.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        int code = errno;
        if (code == EAGAIN) // the backlog is full: certainly no instance is free
            throw EOSError(ERROR_PIPE_BUSY, langtext::PipeAllInstancesBusy);
        ThrowErrno(code == ECONNREFUSED ? ENOENT : code);
    }
    if (!ListenerIsTrusted(sock.Get()))
        ThrowErrno(EACCES);
    if (!PollOne(sock.Get(), POLLIN, timeoutMs))
        ThrowErrno(ETIMEDOUT);
    unsigned char token = 0;
    int code = 0;
    ssize_t n = ReceiveMessage(sock.Get(), &token, 1, code);
    if (n == 1 && token == kAllBusy)
        throw EOSError(ERROR_PIPE_BUSY, langtext::PipeAllInstancesBusy);
    if (n != 1 || token != kAdmitted) // the server went away, or it is not a pipe server
        ThrowErrno(EPIPE);
    fd_ = sock.Release();
}

TPipeClient::~TPipeClient() {
    Close();
}

void TPipeClient::Close() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

void TPipeClient::Send(const void* data, size_t length) {
    if (fd_ < 0)
        ThrowErrno(EBADF);
    for (;;) {
        int code = 0;
        if (SendMessage(fd_, data, length, code) >= 0)
            return;
        if (code != EAGAIN)
            ThrowErrno(code == ECONNRESET ? EPIPE : code);
        if (!PollOne(fd_, POLLOUT, timeoutMs_))
            ThrowErrno(ETIMEDOUT);
    }
}

size_t TPipeClient::Receive(void* buffer, size_t capacity, int timeoutMs) {
    if (fd_ < 0)
        ThrowErrno(EBADF);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (!PollOne(fd_, POLLIN, RemainingMs(deadline)))
            ThrowErrno(ETIMEDOUT);
        int code = 0;
        ssize_t n = ReceiveMessage(fd_, buffer, capacity, code);
        // An empty message cannot be told from the end of the connection; servers never send one.
        if (n > 0)
            return static_cast<size_t>(n);
        if (n == 0 || code == ECONNRESET)
            ThrowErrno(EPIPE);
        if (code != EAGAIN)
            ThrowErrno(code);
    }
}

size_t CallNamedPipe(const std::string& pipePath, const void* request, size_t requestLength,
                     void* answer, size_t answerCapacity, int timeoutMs) {
    if (std::string pc, name; SplitRemotePipePath(pipePath, pc, name))
        return IsLocalMachineName(pc)
                   ? CallNamedPipe("\\\\.\\pipe\\" + name, request, requestLength, answer,
                                   answerCapacity, timeoutMs)
                   : RemotePcCallPipe(pc, name, request, requestLength, answer, answerCapacity,
                                      timeoutMs);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    TPipeClient client(pipePath, timeoutMs);
    client.Send(request, requestLength);
    return client.Receive(answer, answerCapacity, RemainingMs(deadline));
}
