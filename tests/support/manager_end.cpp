#include "tests/support/manager_end.h"

#include <chrono>
#include <gtest/gtest.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>

#include "platform/fdpassing.h"
#include "platform/namedpipe.h"
#include "platform/svcmgr/svcmgr_proto.h"

ManagerEnd::ManagerEnd(TService& service) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0)
        throw std::runtime_error("socketpair");
    fd_.Reset(pair[0]);
    int serviceFd = pair[1];
    reader_ = std::thread([this] { ReadChannel(); });
    done_ = std::async(std::launch::async,
                       [&service, serviceFd] { return service.RunService(serviceFd); });
}

ManagerEnd::~ManagerEnd() {
    Close();
    if (done_.valid())
        done_.wait();
}

void ManagerEnd::Close() {
    if (fd_)
        shutdown(fd_.Get(), SHUT_RDWR); // ends the reader's wait
    if (reader_.joinable())
        reader_.join();
    fd_.Reset();
}

void ManagerEnd::ReadChannel() {
    for (;;) {
        TReceivedMessage message = ReceiveWithDescriptor(fd_.Get());
        if (message.Data.empty()) {
            std::lock_guard lock(mutex_);
            closed_ = true;
            arrived_.notify_all();
            return;
        }
        const std::string& data = message.Data;
        try {
            if (svcproto::ChannelOp(data.data(), data.size()) ==
                static_cast<uint16_t>(svcproto::TOp::PipeBind)) {
                std::string name;
                uint32_t mode = 0;
                svcproto::DecodePipeBind(data.data(), data.size(), name, mode);
                try {
                    TUniqueFd listener(BindPipeListener(name, mode));
                    SendWithDescriptor(message.Fd.Get(), svcproto::EncodePipeBound(0, ""),
                                       listener.Get());
                } catch (const EOSError& e) {
                    std::string answer = svcproto::EncodePipeBound(e.Code, e.what());
                    send(message.Fd.Get(), answer.data(), answer.size(), MSG_NOSIGNAL);
                }
                continue;
            }
            TServiceStatus status = svcproto::DecodeStatusReport(data.data(), data.size());
            std::lock_guard lock(mutex_);
            reports_.push_back(status);
            arrived_.notify_all();
        } catch (const EOSError&) {
            ADD_FAILURE() << "malformed channel message";
        }
    }
}

void ManagerEnd::Send(uint32_t code) {
    std::string message = svcproto::EncodeControlCode(code);
    ASSERT_EQ(send(fd_.Get(), message.data(), message.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(message.size()));
}

std::optional<TServiceStatus> ManagerEnd::TryNextStatus(int timeoutMs) {
    std::unique_lock lock(mutex_);
    arrived_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                      [&] { return !reports_.empty() || closed_; });
    if (reports_.empty())
        return std::nullopt;
    TServiceStatus status = reports_.front();
    reports_.pop_front();
    return status;
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
