// The service manager's end of a service's private channel, played by the test: the service
// runs RunService on a thread of its own, as under the real manager, and the test reads its
// status reports and sends it control codes. A reader thread answers the service's requests
// for pipe sockets at once, binding them itself as the manager would.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <future>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/svcapp.h"
#include "platform/uniquefd.h"

class ManagerEnd {
public:
    // Starts `service` on the other end of a new channel. Throws std::runtime_error.
    explicit ManagerEnd(TService& service);
    // Closes the channel (a service still running sees its manager go and shuts down) and
    // waits for RunService to return.
    ~ManagerEnd();
    ManagerEnd(const ManagerEnd&) = delete;
    ManagerEnd& operator=(const ManagerEnd&) = delete;

    // Sends a control code; a failure of the test when it cannot.
    void Send(uint32_t code);
    // The next status report, waiting up to `timeoutMs`; none when it does not come or the
    // channel is closed.
    std::optional<TServiceStatus> TryNextStatus(int timeoutMs);
    // The next status report; a failure of the test (and state 0) when none comes in 5 s.
    TServiceStatus NextStatus();
    // Reads reports until one with `state` comes; fails the test after 5 s without a report.
    TServiceStatus AwaitState(uint32_t state);
    // Every status report that has arrived so far (waits up to `timeoutMs` for the first).
    std::vector<TServiceStatus> Reports(int timeoutMs = 0);

    void Close();
    // What RunService returned; waits for it.
    int Result() { return done_.get(); }
    // True when RunService has returned within `timeoutMs`.
    bool Finished(int timeoutMs = 5000);

private:
    void ReadChannel();

    TUniqueFd fd_;
    std::future<int> done_;
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<TServiceStatus> reports_;
    bool closed_ = false;
};
