#include "tests/support/manager_end.h"

#include <chrono>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>

#include "platform/svcmgr/svcmgr_proto.h"

ManagerEnd::ManagerEnd(TService& service) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0)
        throw std::runtime_error("socketpair");
    fd_.Reset(pair[0]);
    int serviceFd = pair[1];
    done_ = std::async(std::launch::async,
                       [&service, serviceFd] { return service.RunService(serviceFd); });
}

ManagerEnd::~ManagerEnd() {
    fd_.Reset();
    if (done_.valid())
        done_.wait();
}

void ManagerEnd::Send(uint32_t code) {
    std::string message = svcproto::EncodeControlCode(code);
    ASSERT_EQ(send(fd_.Get(), message.data(), message.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(message.size()));
}

std::optional<TServiceStatus> ManagerEnd::TryNextStatus(int timeoutMs) {
    pollfd p{fd_.Get(), POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0)
        return std::nullopt;
    char buffer[256];
    ssize_t got = recv(fd_.Get(), buffer, sizeof buffer, 0);
    if (got <= 0)
        return std::nullopt;
    return svcproto::DecodeStatusReport(buffer, static_cast<size_t>(got));
}

TServiceStatus ManagerEnd::NextStatus() {
    auto status = TryNextStatus(5000);
    if (!status) {
        ADD_FAILURE() << "no status report";
        return TServiceStatus{0, 0, 0, 0, 0, 0, 0, 0, -1};
    }
    return *status;
}

TServiceStatus ManagerEnd::AwaitState(uint32_t state) {
    for (;;) {
        auto status = TryNextStatus(5000);
        if (!status) {
            ADD_FAILURE() << "no status " << state;
            return {};
        }
        if (status->CurrentState == state)
            return *status;
    }
}

std::vector<TServiceStatus> ManagerEnd::Reports(int timeoutMs) {
    std::vector<TServiceStatus> reports;
    while (auto status = TryNextStatus(reports.empty() ? timeoutMs : 0))
        reports.push_back(*status);
    return reports;
}

bool ManagerEnd::Finished(int timeoutMs) {
    return done_.wait_for(std::chrono::milliseconds(timeoutMs)) == std::future_status::ready;
}
