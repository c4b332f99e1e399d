// The service's end of its private channel to the manager: status reports go up, control
// codes come down, one message each.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "platform/svcmgr/svcmgr_types.h"
#include "platform/uniquefd.h"

class TServiceChannel {
public:
    explicit TServiceChannel(int fd); // takes the descriptor over
    int Fd() const { return fd_.Get(); }

    // Sends a status report; a manager that has gone is not an error here.
    void Send(const TServiceStatus& status);

    // Asks the manager for the listening socket of pipe `pipeName` with socket file mode `mode`
    // and returns it; raises EOSError with the manager's code and text when it refuses, or
    // ETIMEDOUT when it does not answer within the time limit. Any thread may call it.
    int BindPipe(const std::string& pipeName, unsigned mode);

    enum class TReceived { Control, Closed, Nothing };
    // Reads one message without blocking: a control code, the end of the channel, or
    // nothing usable (no message yet, or a malformed one, which is dropped).
    TReceived Receive(uint32_t& code);

private:
    TUniqueFd fd_;
    std::mutex sendMutex_;
};

// The channel the manager passed to this process (SVCMGR_CHANNEL_FD), or -1 when there is
// none. The variables are removed from the environment and the descriptor is closed on
// exec, so that the service's own child processes do not inherit them.
int TakeManagerChannel(std::string& serviceName);
