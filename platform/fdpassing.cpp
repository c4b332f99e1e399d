#include "platform/fdpassing.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>

namespace {

constexpr size_t MaxMessage = 16384;
constexpr size_t MaxDescriptors = 4;

} // namespace

bool SendWithDescriptor(int socket, const std::string& message, int fd) {
    iovec iov{const_cast<char*>(message.data()), message.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    cmsghdr* header = CMSG_FIRSTHDR(&msg);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(header), &fd, sizeof fd);
    ssize_t sent;
    do
        sent = sendmsg(socket, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
    while (sent < 0 && errno == EINTR);
    return sent == static_cast<ssize_t>(message.size());
}

TReceivedMessage ReceiveWithDescriptor(int socket, bool dontWait) {
    TReceivedMessage received;
    received.Data.resize(MaxMessage);
    iovec iov{received.Data.data(), received.Data.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(MaxDescriptors * sizeof(int))] = {};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t got;
    do
        got = recvmsg(socket, &msg, MSG_CMSG_CLOEXEC | (dontWait ? MSG_DONTWAIT : 0));
    while (got < 0 && errno == EINTR);
    if (got < 0)
        received.Error = errno;
    received.Data.resize(got > 0 ? static_cast<size_t>(got) : 0);
    // Every descriptor that came is owned here, so none leaks whatever the message holds.
    for (cmsghdr* header = got >= 0 ? CMSG_FIRSTHDR(&msg) : nullptr; header;
         header = CMSG_NXTHDR(&msg, header)) {
        if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS)
            continue;
        size_t count = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < count; ++i) {
            int fd;
            std::memcpy(&fd, CMSG_DATA(header) + i * sizeof(int), sizeof fd);
            if (!received.Fd)
                received.Fd.Reset(fd);
            else
                ::close(fd);
        }
    }
    if (received.Error == 0 && (msg.msg_flags & (MSG_TRUNC | MSG_CTRUNC))) {
        received.Data.clear();
        received.Fd.Reset();
        received.Error = EMSGSIZE;
    }
    return received;
}
