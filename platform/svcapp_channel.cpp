#include "platform/svcapp_channel.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>

#include "platform/fdpassing.h"
#include "platform/svcmgr/svcmgr_launch.h"
#include "platform/svcmgr/svcmgr_proto.h"

TServiceChannel::TServiceChannel(int fd) : fd_(fd) {}

void TServiceChannel::Send(const TServiceStatus& status) {
    std::string message = svcproto::EncodeStatusReport(status);
    std::lock_guard lock(sendMutex_);
    ssize_t sent;
    do
        sent = send(fd_.Get(), message.data(), message.size(), MSG_NOSIGNAL);
    while (sent < 0 && errno == EINTR);
}

namespace {

// How long the manager may take to bind a pipe's socket; it may be busy checking an account's
// password for a few seconds.
constexpr int PipeBindTimeoutMs = 30000;

} // namespace

int TServiceChannel::BindPipe(const std::string& pipeName, unsigned mode) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0)
        throw OSErrorFromErrno(errno);
    TUniqueFd mine(pair[0]), theirs(pair[1]);
    {
        std::lock_guard lock(sendMutex_);
        if (!SendWithDescriptor(fd_.Get(), svcproto::EncodePipeBind(pipeName, mode), theirs.Get()))
            throw OSErrorFromErrno(errno ? errno : EPIPE);
    }
    theirs.Reset(); // the manager's copy is the only one left: its close ends our wait
    pollfd ready{mine.Get(), POLLIN, 0};
    int n;
    do
        n = poll(&ready, 1, PipeBindTimeoutMs);
    while (n < 0 && errno == EINTR);
    if (n == 0)
        throw OSErrorFromErrno(ETIMEDOUT);
    TReceivedMessage answer = ReceiveWithDescriptor(mine.Get());
    int code = EPIPE;
    std::string text;
    try {
        if (!answer.Data.empty())
            svcproto::DecodePipeBound(answer.Data.data(), answer.Data.size(), code, text);
    } catch (const EOSError&) {
        code = EBADMSG;
    }
    if (code != 0)
        throw text.empty() ? OSErrorFromErrno(code) : EOSError(code, text);
    if (!answer.Fd)
        throw OSErrorFromErrno(EBADMSG);
    return answer.Fd.Release();
}

TServiceChannel::TReceived TServiceChannel::Receive(uint32_t& code) {
    char buffer[svcproto::MaxMessage];
    ssize_t got;
    do
        got = recv(fd_.Get(), buffer, sizeof buffer, MSG_DONTWAIT);
    while (got < 0 && errno == EINTR);
    if (got < 0 && errno == EAGAIN)
        return TReceived::Nothing;
    if (got <= 0)
        return TReceived::Closed;
    try {
        code = svcproto::DecodeControlCode(buffer, static_cast<size_t>(got));
        return TReceived::Control;
    } catch (const EOSError&) {
        return TReceived::Nothing;
    }
}

int TakeManagerChannel(std::string& serviceName) {
    const char* fdText = std::getenv(ChannelFdVariable);
    const char* nameText = std::getenv(ServiceNameVariable);
    serviceName = nameText ? nameText : "";
    std::string value = fdText ? fdText : "";
    unsetenv(ChannelFdVariable);
    unsetenv(ServiceNameVariable);
    if (value.empty())
        return -1;
    char* end = nullptr;
    long fd = std::strtol(value.c_str(), &end, 10);
    if (*end != '\0' || fd < 0 || fd > 65535)
        return -1;
    int type = 0;
    socklen_t length = sizeof type;
    if (getsockopt(static_cast<int>(fd), SOL_SOCKET, SO_TYPE, &type, &length) != 0 ||
        type != SOCK_SEQPACKET)
        return -1;
    fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
    return static_cast<int>(fd);
}
