// Messages that carry a file descriptor over an AF_UNIX socket (SCM_RIGHTS): the service
// manager hands the listening sockets it binds to its services this way.
#pragma once

#include <string>

#include "platform/uniquefd.h"

// Sends `message` with a copy of descriptor `fd` attached; false with errno set when the
// message could not be sent whole.
bool SendWithDescriptor(int socket, const std::string& message, int fd);

struct TReceivedMessage {
    std::string Data; // empty: the peer closed the socket, or nothing came (see Error)
    TUniqueFd Fd;     // the first descriptor that came with it; any others are closed
    int Error = 0;    // errno of a failed receive (EAGAIN: nothing waiting)
};

// Receives one message of at most 16384 bytes and the descriptors attached to it. With
// `dontWait`, returns at once with EAGAIN when nothing is waiting.
TReceivedMessage ReceiveWithDescriptor(int socket, bool dontWait = false);
