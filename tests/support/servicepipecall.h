// One request to a running service's pipe, as the console sends it, for tests that run a
// service program. Header only: the including test links the service framework.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/namedpipe.h"
#include "service/framework/ft_control.h"
#include "tests/support/svcmgr_fixture.h"

struct PipeAnswer {
    TPipeMessageHeader header{};
    std::string payload;
    std::vector<uint8_t> bytes;
};

// One transaction on a pipe of the service; false when the pipe does not answer (not there
// yet, or gone).
inline bool TryCallServicePipe(const std::string& pipe, const std::string& command,
                               const std::string& payload, PipeAnswer& answer) {
    std::vector<uint8_t> request = BuildPipeRequest(command, payload);
    answer.bytes.assign(PipeBufferSize, 0);
    try {
        size_t n = CallNamedPipe("\\\\.\\pipe\\" + pipe, request.data(), request.size(),
                                 answer.bytes.data(), answer.bytes.size(), 5000);
        answer.bytes.resize(n);
    } catch (const std::exception&) {
        return false;
    }
    if (!ReadPipeHeader(answer.bytes.data(), answer.bytes.size(), answer.header))
        return false;
    answer.payload.assign(answer.bytes.begin() + PipeHeaderSize, answer.bytes.end());
    return true;
}

// The same, waiting until the pipe answers.
inline PipeAnswer CallServicePipe(const std::string& pipe, const std::string& command,
                                  const std::string& payload = {}) {
    PipeAnswer answer;
    EXPECT_TRUE(WaitUntil([&] { return TryCallServicePipe(pipe, command, payload, answer); }))
        << command << " on " << pipe;
    return answer;
}
