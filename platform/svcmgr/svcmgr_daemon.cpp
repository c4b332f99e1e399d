#include "platform/svcmgr/svcmgr_daemon.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <sys/file.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

#include "platform/svcmgr/svcmgr_proto.h"
#include "platform/svcmgr/svcmgr_services.h"
#include "platform/svcmgr/svcmgr_texts.h"
#include "platform/svcroot.h"
#include "platform/uniquefd.h"

using svcproto::TClientRequest;
using svcproto::TOp;
using TClock = std::chrono::steady_clock;

namespace {

constexpr int MessagesPerWakeup = 16;
// Connections taken from the backlog per wakeup: enough to drain it quickly, few enough that
// a user who keeps connecting does not hold up the answers to others.
constexpr int AcceptsPerWakeup = 64;
// Client id of the starts the manager makes by itself.
constexpr uint64_t ManagerClient = 0;

struct TClient {
    TUniqueFd Fd;
    bool Admin = false;
    uid_t Uid = 0;
    TClock::time_point LastActivity; // the connection, or its last request that succeeded
    bool AwaitingStart = false;
};

void MakeDirectories(const std::string& path, mode_t mode) {
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        std::string part = path.substr(0, slash);
        if (mkdir(part.c_str(), mode) != 0 && errno != EEXIST)
            throw EOSError(errno, part + ": " + SysErrorMessage(errno));
        if (slash == std::string::npos)
            return;
    }
}

// The registry values that a Create or ChangeConfig request carries.
TRegisteredService RegistrationOf(const svcproto::TClientRequest& r) {
    TRegisteredService service;
    service.Name = r.ServiceName;
    service.DisplayName = r.DisplayName;
    service.BinaryPath = r.BinaryPathName;
    service.StartName = r.ServiceStartName;
    service.Password = r.Password;
    service.StartType = r.StartType;
    return service;
}

void Say(const std::string& text) {
    std::fprintf(stderr, "%s\n", text.c_str());
}

// The op of a request, read from its header when there is one, for the error answer.
TOp OpOfRawRequest(const char* data, size_t size) {
    if (size < 8)
        return static_cast<TOp>(0);
    svcproto::TWireReader in(data + 4, 4);
    return static_cast<TOp>(in.U32() & 0xFFFF);
}

} // namespace

struct TServiceManagerDaemon::TImpl {
    TDaemonOptions options;
    TUniqueFd lockFd, signalFd, listenFd;
    std::string socketPath;
    std::map<uint64_t, TClient> clients;
    uint64_t nextClientId = 1;
    std::unique_ptr<TServiceTable> table;
    bool shuttingDown = false;
    TClock::time_point shutdownDeadline{};

    void Setup();
    void Loop();
    void HandleSignals();
    void AcceptClients();
    void ServeClient(uint64_t id);
    // Answers one request; `deferred` is set when a start answers later.
    std::string Dispatch(uint64_t id, const TClient& client, const TClientRequest& request,
                         bool& deferred);
    void SendAnswer(uint64_t id, const std::string& answer);
    void AnswerStart(uint64_t id, const std::string& name, int code, const std::string& text,
                     const TServiceStatus& s);
    void StartAutomaticServices();
    // True when a new connection of this user fits its share of the client slots.
    bool HasRoomFor(bool admin, uid_t uid) const;
    void CloseIdleClients(TClock::time_point now);
    int PollTimeout(TClock::time_point now) const;
};

void TServiceManagerDaemon::TImpl::Setup() {
    // Signals arrive through the signalfd; children unblock them again before exec.
    sigset_t handled;
    sigemptyset(&handled);
    for (int sig : {SIGCHLD, SIGTERM, SIGINT, SIGHUP})
        sigaddset(&handled, sig);
    if (sigprocmask(SIG_BLOCK, &handled, nullptr) != 0)
        throw OSErrorFromErrno(errno);
    signal(SIGPIPE, SIG_IGN);
    signalFd.Reset(signalfd(-1, &handled, SFD_NONBLOCK | SFD_CLOEXEC));
    if (!signalFd)
        throw OSErrorFromErrno(errno);

    std::string runtimeDir = SvcMgrRuntimeDir();
    MakeDirectories(runtimeDir, 0755);
    MakeDirectories(SvcMgrStateDir(), 0755);
    // The pipe directory is root's from the start: only the manager binds the pipes of its
    // services there, so no user can take a name before its service runs.
    MakeDirectories(PipeDir(), 0755);
    struct stat pipeDir {};
    if (lstat(PipeDir().c_str(), &pipeDir) != 0 || !S_ISDIR(pipeDir.st_mode) ||
        pipeDir.st_uid != geteuid() || chmod(PipeDir().c_str(), 0755) != 0)
        throw EOSError(EACCES, PipeDir() + ": " + SysErrorMessage(EACCES));

    // One manager per directory: the lock is held for the whole run.
    std::string lockPath = runtimeDir + "/svcmgr.lock";
    lockFd.Reset(open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (!lockFd)
        throw OSErrorFromErrno(errno);
    socketPath = SvcMgrSocketPath();
    if (flock(lockFd.Get(), LOCK_EX | LOCK_NB) != 0)
        throw EOSError(EBUSY, svcproto::Format(svctext::MsgAlreadyServing, socketPath.c_str()));

    table = std::make_unique<TServiceTable>(
        TServiceRegistry(SvcMgrStateDir() + "/services"),
        [this](uint64_t id, const std::string& name, int code, const std::string& text,
               const TServiceStatus& status) { AnswerStart(id, name, code, text, status); },
        options.LaunchTimeout);
    for (const std::string& problem : table->Load())
        Say(svcproto::Format(svctext::MsgBadRegistryFile, problem.c_str()));

    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof address.sun_path)
        throw OSErrorFromErrno(ENAMETOOLONG);
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    listenFd.Reset(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!listenFd)
        throw OSErrorFromErrno(errno);
    unlink(socketPath.c_str()); // left by a manager that was killed; the lock is ours
    if (bind(listenFd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        chmod(socketPath.c_str(), 0666) != 0 || listen(listenFd.Get(), 64) != 0)
        throw OSErrorFromErrno(errno);
    Say(svcproto::Format(svctext::MsgManagerStarted, socketPath.c_str()));
    StartAutomaticServices();
}

void TServiceManagerDaemon::TImpl::Loop() {
    std::vector<pollfd> fds;
    std::vector<TServiceTable::TWatch> watches;
    std::vector<uint64_t> polledClients;
    for (;;) {
        TClock::time_point now = TClock::now();
        if (shuttingDown && !table->HasProcesses())
            return;
        if (shuttingDown && now >= shutdownDeadline) {
            table->KillAll([](const std::string& name) {
                Say(svcproto::Format(svctext::MsgKilledAtShutdown, name.c_str()));
            });
            return;
        }

        fds.clear();
        polledClients.clear();
        fds.push_back({signalFd.Get(), POLLIN, 0});
        fds.push_back({listenFd.Get(), POLLIN, 0});
        watches = table->Watches();
        for (const auto& watch : watches)
            fds.push_back({watch.Fd, POLLIN, 0});
        for (const auto& [id, client] : clients) {
            if (client.AwaitingStart)
                continue;
            fds.push_back({client.Fd.Get(), POLLIN, 0});
            polledClients.push_back(id);
        }

        int ready = poll(fds.data(), fds.size(), PollTimeout(now));
        if (ready < 0 && errno != EINTR)
            throw OSErrorFromErrno(errno);
        if (ready > 0) {
            // Reports and channels first, so that a service's last words are read before
            // its end is handled.
            for (size_t i = 0; i < watches.size(); ++i)
                if (fds[2 + i].revents)
                    table->OnReadable(watches[i]);
            if (fds[0].revents)
                HandleSignals();
            if (fds[1].revents)
                AcceptClients();
            for (size_t i = 0; i < polledClients.size(); ++i)
                if (fds[2 + watches.size() + i].revents)
                    ServeClient(polledClients[i]);
        }
        now = TClock::now();
        table->CheckDeadlines(now);
        CloseIdleClients(now);
    }
}

int TServiceManagerDaemon::TImpl::PollTimeout(TClock::time_point now) const {
    TClock::time_point next = now + std::chrono::seconds(60);
    if (auto deadline = table->NextDeadline())
        next = std::min(next, *deadline);
    if (shuttingDown)
        next = std::min(next, shutdownDeadline);
    for (const auto& [id, client] : clients)
        if (!client.AwaitingStart)
            next = std::min(next, client.LastActivity + options.ClientIdleTimeout);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count();
    return static_cast<int>(std::clamp<long long>(ms + 1, 0, 60000));
}

void TServiceManagerDaemon::TImpl::HandleSignals() {
    signalfd_siginfo info;
    bool children = false;
    while (read(signalFd.Get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        if (info.ssi_signo == SIGCHLD)
            children = true;
        else if ((info.ssi_signo == SIGTERM || info.ssi_signo == SIGINT) && !shuttingDown) {
            shuttingDown = true;
            shutdownDeadline = TClock::now() + options.ShutdownTimeout;
            table->BeginShutdown();
        }
    }
    // SIGCHLD may be merged or come before the child's last report: reap whatever ended.
    if (children)
        table->ReapChildren();
}

bool TServiceManagerDaemon::TImpl::HasRoomFor(bool admin, uid_t uid) const {
    if (clients.size() >= options.MaxClients)
        return false;
    if (admin)
        return true;
    size_t others = 0, same = 0;
    for (const auto& [id, client] : clients) {
        if (!client.Admin) {
            ++others;
            same += client.Uid == uid ? 1 : 0;
        }
    }
    return same < options.MaxClientsPerUser &&
           others + std::min(options.ReservedClients, options.MaxClients) < options.MaxClients;
}

void TServiceManagerDaemon::TImpl::AcceptClients() {
    // The backlog is always taken, also when every slot is held: a connection beyond its
    // user's share is refused at once instead of waiting there, in front of root's.
    for (int round = 0; round < AcceptsPerWakeup; ++round) {
        int fd = accept4(listenFd.Get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return;
        TClient client;
        client.Fd.Reset(fd);
        ucred peer{};
        socklen_t length = sizeof peer;
        if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0)
            continue;
        client.Admin = peer.uid == 0 || peer.uid == geteuid();
        client.Uid = peer.uid;
        if (!HasRoomFor(client.Admin, client.Uid)) {
            std::string refusal =
                svcproto::EncodeAnswer(static_cast<TOp>(0), EUSERS, svctext::ErrTooManyClients);
            send(fd, refusal.data(), refusal.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
            continue;
        }
        client.LastActivity = TClock::now();
        uint64_t id = nextClientId++;
        clients.emplace(id, std::move(client));
        ServeClient(id); // the request is often there already
    }
}

void TServiceManagerDaemon::TImpl::ServeClient(uint64_t id) {
    static char buffer[svcproto::MaxMessage];
    for (int round = 0; round < MessagesPerWakeup; ++round) {
        auto it = clients.find(id);
        if (it == clients.end() || it->second.AwaitingStart)
            return;
        TClient& client = it->second;
        iovec part{buffer, sizeof buffer};
        msghdr message{};
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        ssize_t got = recvmsg(client.Fd.Get(), &message, MSG_DONTWAIT);
        if (got < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        if (got <= 0) {
            clients.erase(it);
            return;
        }
        size_t size = static_cast<size_t>(got);
        TOp op = OpOfRawRequest(buffer, size);
        if (message.msg_flags & MSG_TRUNC) {
            // A message longer than any request: answered, then the client is dropped.
            SendAnswer(id, svcproto::EncodeAnswer(op, EMSGSIZE, svctext::ErrRequestTooLong));
            clients.erase(id);
            return;
        }
        std::string answer;
        bool deferred = false;
        try {
            TClientRequest request = svcproto::DecodeRequest(buffer, size);
            answer = Dispatch(id, client, request, deferred);
            // Only a request that succeeds keeps the connection: failing requests cannot
            // hold a slot for ever.
            client.LastActivity = TClock::now();
        } catch (const EOSError& e) {
            answer = svcproto::EncodeAnswer(op, e.Code, e.what());
        } catch (const std::exception& e) {
            answer = svcproto::EncodeAnswer(op, EIO, e.what());
        }
        if (deferred) {
            client.AwaitingStart = true;
            return;
        }
        SendAnswer(id, answer);
    }
}

std::string TServiceManagerDaemon::TImpl::Dispatch(uint64_t id, const TClient& client,
                                                   const TClientRequest& r, bool& deferred) {
    auto requireAdmin = [&client](bool needed) {
        if (needed && !client.Admin)
            throw OSErrorFromErrno(EACCES);
    };
    svcproto::TWireWriter out;
    switch (r.Op) {
    case TOp::OpenManager:
        requireAdmin(svcproto::NeedsAdminForManager(svcproto::MapManagerAccess(r.Access)));
        break;
    case TOp::OpenService: {
        std::string name = table->Open(r.ServiceName);
        requireAdmin(svcproto::NeedsAdminForService(svcproto::MapServiceAccess(r.Access)));
        out.Str(name);
        break;
    }
    case TOp::QueryStatus:
        out.Status(table->QueryStatus(r.ServiceName));
        break;
    case TOp::QueryConfig:
        return svcproto::EncodeAnswer(
            r.Op, 0, svcproto::EncodeConfigPayload(table->QueryConfig(r.ServiceName)));
    case TOp::ListServices:
        return svcproto::EncodeAnswer(r.Op, 0, svcproto::EncodeListPayload(table->List()));
    case TOp::Start:
        requireAdmin(true);
        table->Start(r.ServiceName, id);
        deferred = true;
        return {};
    case TOp::Control:
        requireAdmin(r.Control != SERVICE_CONTROL_INTERROGATE);
        out.Status(table->Control(r.ServiceName, r.Control));
        break;
    case TOp::ChangeConfig:
        requireAdmin(true);
        table->ChangeConfig(r.ServiceName, r.ChangeMask, RegistrationOf(r));
        break;
    case TOp::CheckAccount:
        requireAdmin(true);
        table->CheckAccount(r.ServiceName, r.ServiceStartName, r.Password);
        break;
    case TOp::Create:
        requireAdmin(true);
        table->Create(RegistrationOf(r));
        break;
    case TOp::Delete:
        requireAdmin(true);
        table->Delete(r.ServiceName);
        break;
    default:
        throw EOSError(EOPNOTSUPP, svctext::ErrUnknownRequest);
    }
    return svcproto::EncodeAnswer(r.Op, 0, out.Data());
}

void TServiceManagerDaemon::TImpl::StartAutomaticServices() {
    for (const std::string& name : table->AutomaticServices()) {
        Say(svcproto::Format(svctext::MsgAutoStarting, name.c_str()));
        try {
            table->Start(name, ManagerClient);
        } catch (const EOSError& e) {
            Say(svcproto::Format(svctext::MsgAutoStartFailed, name.c_str(), e.what(), e.Code));
        }
    }
}

void TServiceManagerDaemon::TImpl::AnswerStart(uint64_t id, const std::string& name, int code,
                                               const std::string& text,
                                               const TServiceStatus& status) {
    if (id == ManagerClient) {
        if (code != 0)
            Say(svcproto::Format(svctext::MsgAutoStartFailed, name.c_str(), text.c_str(), code));
        return;
    }
    auto it = clients.find(id);
    if (it == clients.end())
        return;
    it->second.AwaitingStart = false;
    it->second.LastActivity = TClock::now();
    SendAnswer(id, svcproto::EncodeAnswer(
                       TOp::Start, code, code == 0 ? svcproto::EncodeStatusPayload(status) : text));
}

void TServiceManagerDaemon::TImpl::SendAnswer(uint64_t id, const std::string& answer) {
    auto it = clients.find(id);
    if (it == clients.end())
        return;
    ssize_t sent;
    do
        sent = send(it->second.Fd.Get(), answer.data(), answer.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    while (sent < 0 && errno == EINTR);
    // A client that does not take its answers (or is gone) is dropped, never waited for.
    if (sent < 0)
        clients.erase(it);
}

void TServiceManagerDaemon::TImpl::CloseIdleClients(TClock::time_point now) {
    for (auto it = clients.begin(); it != clients.end();) {
        if (!it->second.AwaitingStart && now - it->second.LastActivity >= options.ClientIdleTimeout)
            it = clients.erase(it);
        else
            ++it;
    }
}

TServiceManagerDaemon::TServiceManagerDaemon(TDaemonOptions options)
    : impl_(std::make_unique<TImpl>()) {
    impl_->options = options;
}

TServiceManagerDaemon::~TServiceManagerDaemon() = default;

int TServiceManagerDaemon::Run() {
    try {
        impl_->Setup();
        impl_->Loop();
    } catch (const std::exception& e) {
        Say(std::string("svcmgr: ") + e.what());
        return 1;
    }
    impl_->clients.clear();
    impl_->listenFd.Reset();
    unlink(impl_->socketPath.c_str());
    Say(svctext::MsgManagerStopped);
    return 0;
}
