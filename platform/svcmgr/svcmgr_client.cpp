#include "platform/svcmgr/svcmgr_client.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/remotepc.h"
#include "platform/svcmgr/svcmgr_proto.h"
#include "platform/svcmgr/svcmgr_texts.h"
#include "platform/svcroot.h"
#include "platform/uniquefd.h"

using svcproto::TClientRequest;
using svcproto::TOp;

namespace {

// A start waits for the manager to launch the program, which includes the logon check.
constexpr int StartTimeoutMs = 60000;
constexpr int RequestTimeoutMs = SvcMgrRequestTimeoutMs;

EOSError Unavailable(const std::string& why) {
    return svcproto::Error(ERROR_MANAGER_UNAVAILABLE,
                           svcproto::Format(svctext::ErrManagerUnavailable, why.c_str()));
}

// Connects within `timeoutMs`: a manager whose backlog is full makes connect wait, and that
// wait must not outlast the request's own time limit.
TUniqueFd ConnectTo(const std::string& socketPath, int timeoutMs) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof address.sun_path)
        throw Unavailable(socketPath + ": " + SysErrorMessage(ENAMETOOLONG));
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    TUniqueFd fd(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    if (!fd)
        throw OSErrorFromErrno(errno);
    timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    if (setsockopt(fd.Get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) != 0)
        throw OSErrorFromErrno(errno);
    int result;
    do
        result = connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    while (result != 0 && errno == EINTR);
    if (result != 0 && (errno == EAGAIN || errno == EINPROGRESS))
        throw svcproto::Error(ERROR_MANAGER_UNAVAILABLE, svctext::ErrManagerNoAnswer);
    if (result != 0)
        throw Unavailable(socketPath + ": " + SysErrorMessage(errno));
    return fd;
}

// Waits for readability until the deadline; false on timeout.
bool WaitReadable(int fd, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0)
            return false;
        pollfd p{fd, POLLIN, 0};
        int ready = poll(&p, 1, static_cast<int>(left));
        if (ready > 0)
            return true;
        if (ready < 0 && errno != EINTR)
            throw OSErrorFromErrno(errno);
    }
}

svcproto::TAnswer Call(const std::string& socketPath, const TClientRequest& request,
                       int timeoutMs = RequestTimeoutMs) {
    // The manager of another PC is addressed as "\\PC" (a socket path never starts so).
    const bool remote = socketPath.starts_with("\\\\");
    std::string raw =
        remote ? RemotePcManagerTransact(socketPath, svcproto::EncodeRequest(request), timeoutMs)
               : SvcMgrTransact(socketPath, svcproto::EncodeRequest(request), timeoutMs);
    svcproto::TAnswer answer = svcproto::DecodeAnswer(raw.data(), raw.size());
    // Another PC's error text is printed and shown: its control characters go first.
    if (remote && answer.Code != 0)
        answer.Payload = PrintableRemoteText(answer.Payload.substr(0, answer.Payload.find('\0')));
    // Op 0 with an error: the manager refused the connection itself (too many of this user's).
    if (answer.Op == static_cast<TOp>(0) && answer.Code != 0)
        svcproto::CheckAnswer(answer);
    if (answer.Op != request.Op)
        throw svcproto::Error(EBADMSG, svctext::ErrManagerBadAnswer);
    svcproto::CheckAnswer(answer);
    return answer;
}

void Require(bool open, uint32_t granted, uint32_t needed) {
    if (!open)
        throw svcproto::Error(EBADF, svctext::ErrHandleClosed);
    if ((granted & needed) != needed)
        throw OSErrorFromErrno(EACCES);
}

// A request `op` on a handle, once the handle is found open with the `needed` rights; for a
// service's handle, about that service.
TClientRequest CheckedRequest(TOp op, bool open, uint32_t granted, uint32_t needed,
                              const std::string& serviceName = {}) {
    Require(open, granted, needed);
    TClientRequest request;
    request.Op = op;
    request.ServiceName = serviceName;
    return request;
}

std::string StripBackslashes(const std::string& name) {
    size_t start = 0;
    while (start < name.size() && name[start] == '\\')
        ++start;
    return name.substr(start);
}

bool SameTextAscii(const std::string& a, const std::string& b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i]))
            return false;
    }
    return true;
}

} // namespace

std::string SvcMgrTransact(const std::string& socketPath, const std::string& request,
                           int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    TUniqueFd fd = ConnectTo(socketPath, std::clamp(timeoutMs, 1, RequestTimeoutMs));
    ssize_t sent;
    do
        sent = send(fd.Get(), request.data(), request.size(), MSG_NOSIGNAL);
    while (sent < 0 && errno == EINTR);
    // A refused connection is closed at once; its answer may already wait to be read.
    if (sent < 0 && errno != EPIPE && errno != ECONNRESET)
        throw Unavailable(socketPath + ": " + SysErrorMessage(errno));
    if (!WaitReadable(fd.Get(), deadline))
        throw svcproto::Error(ERROR_MANAGER_UNAVAILABLE, svctext::ErrManagerNoAnswer);
    std::string buffer(svcproto::MaxMessage + 1, '\0');
    ssize_t got;
    do
        got = recv(fd.Get(), buffer.data(), buffer.size(), 0);
    while (got < 0 && errno == EINTR);
    if (got < 0)
        throw Unavailable(socketPath + ": " + SysErrorMessage(errno));
    if (got == 0)
        throw Unavailable(socketPath + ": " + SysErrorMessage(ECONNRESET));
    buffer.resize(static_cast<size_t>(got));
    return buffer;
}

bool IsLocalMachineName(const std::string& machineName) {
    std::string name = StripBackslashes(machineName);
    if (name.empty() || name == "." || SameTextAscii(name, "localhost"))
        return true;
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0)
        return false;
    std::string own(host);
    std::string shortOwn = own.substr(0, own.find('.'));
    return SameTextAscii(name, own) || SameTextAscii(name, shortOwn);
}

TScManager TScManager::Open(const std::string& machineName, uint32_t desiredAccess, int timeoutMs) {
    TScManager manager;
    manager.socketPath_ = IsLocalMachineName(machineName)
                              ? SvcMgrSocketPath()
                              : "\\\\" + CheckedRemotePcName(machineName);
    TClientRequest request;
    request.Op = TOp::OpenManager;
    request.Access = desiredAccess;
    Call(manager.socketPath_, request, timeoutMs);
    manager.access_ = svcproto::MapManagerAccess(desiredAccess) | SC_MANAGER_CONNECT;
    manager.open_ = true;
    return manager;
}

TScService TScManager::OpenService(const std::string& serviceName, uint32_t desiredAccess,
                                   int timeoutMs) const {
    TClientRequest request =
        CheckedRequest(TOp::OpenService, open_, access_, SC_MANAGER_CONNECT, serviceName);
    request.Access = desiredAccess;
    svcproto::TAnswer answer = Call(socketPath_, request, timeoutMs);
    svcproto::TWireReader in(answer.Payload);
    TScService service;
    service.name_ = in.Str(); // the name as it was registered
    in.ExpectEnd();
    service.access_ = svcproto::MapServiceAccess(desiredAccess);
    service.socketPath_ = socketPath_;
    service.open_ = true;
    return service;
}

TScService TScManager::CreateService(const std::string& serviceName, const std::string& displayName,
                                     uint32_t desiredAccess, const std::string& binaryPathName,
                                     const std::string& serviceStartName,
                                     const std::string& password, uint32_t startType) const {
    TClientRequest request =
        CheckedRequest(TOp::Create, open_, access_, SC_MANAGER_CREATE_SERVICE, serviceName);
    request.DisplayName = displayName;
    request.BinaryPathName = binaryPathName;
    request.ServiceStartName = serviceStartName;
    request.Password = password;
    request.StartType = startType;
    Call(socketPath_, request);
    return OpenService(serviceName, desiredAccess);
}

std::vector<TServiceListEntry> TScManager::ListServices() const {
    TClientRequest request =
        CheckedRequest(TOp::ListServices, open_, access_, SC_MANAGER_ENUMERATE_SERVICE);
    return svcproto::DecodeListPayload(Call(socketPath_, request).Payload);
}

TServiceStatus TScService::QueryStatus(int timeoutMs) const {
    TClientRequest request =
        CheckedRequest(TOp::QueryStatus, open_, access_, SERVICE_QUERY_STATUS, name_);
    return svcproto::DecodeStatusPayload(Call(socketPath_, request, timeoutMs).Payload);
}

TServiceConfig TScService::QueryConfig() const {
    TClientRequest request =
        CheckedRequest(TOp::QueryConfig, open_, access_, SERVICE_QUERY_CONFIG, name_);
    return svcproto::DecodeConfigPayload(Call(socketPath_, request).Payload);
}

void TScService::Start() const {
    TClientRequest request = CheckedRequest(TOp::Start, open_, access_, SERVICE_START, name_);
    Call(socketPath_, request, StartTimeoutMs);
}

TServiceStatus TScService::Control(uint32_t controlCode) const {
    TClientRequest request = CheckedRequest(TOp::Control, open_, access_,
                                            svcproto::AccessForControl(controlCode), name_);
    request.Control = controlCode;
    return svcproto::DecodeStatusPayload(Call(socketPath_, request).Payload);
}

void TScService::ChangeConfig(const std::string* displayName, const std::string* binaryPathName,
                              const std::string* serviceStartName,
                              const std::string* password) const {
    TClientRequest request =
        CheckedRequest(TOp::ChangeConfig, open_, access_, SERVICE_CHANGE_CONFIG, name_);
    auto take = [&request](const std::string* value, uint32_t bit, std::string& field) {
        if (value) {
            request.ChangeMask |= bit;
            field = *value;
        }
    };
    take(displayName, svcproto::ChangeDisplayName, request.DisplayName);
    take(binaryPathName, svcproto::ChangeBinaryPath, request.BinaryPathName);
    take(serviceStartName, svcproto::ChangeStartName, request.ServiceStartName);
    take(password, svcproto::ChangePassword, request.Password);
    Call(socketPath_, request);
}

void TScService::CheckAccount(const std::string& serviceStartName,
                              const std::string& password) const {
    TClientRequest request =
        CheckedRequest(TOp::CheckAccount, open_, access_, SERVICE_CHANGE_CONFIG, name_);
    request.ServiceStartName = serviceStartName;
    request.Password = password;
    Call(socketPath_, request);
}

void TScService::ChangeStartType(uint32_t startType) const {
    TClientRequest request =
        CheckedRequest(TOp::ChangeConfig, open_, access_, SERVICE_CHANGE_CONFIG, name_);
    request.ChangeMask = svcproto::ChangeStartType;
    request.StartType = startType;
    Call(socketPath_, request);
}

void TScService::Delete() const {
    TClientRequest request = CheckedRequest(TOp::Delete, open_, access_, SERVICE_DELETE, name_);
    Call(socketPath_, request);
}
