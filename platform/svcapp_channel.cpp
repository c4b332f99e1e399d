#include "platform/svcapp_channel.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/socket.h>

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
