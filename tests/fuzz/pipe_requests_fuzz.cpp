// Arbitrary request messages into the request handling of both service endpoints, without
// sockets. Checks that every answer is one the protocol allows, that the answer buffer is
// never overrun and is zero beyond the answer, and that the configuration file is replaced
// exactly by a complete payload and left alone otherwise.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "common/debuglog.h"
#include "service/framework/ft_control.h"

namespace {

const char* const kIni = "kelvardsvc.ini";

std::string MakeScratchDir() {
    // Each replaced file is flushed to disk; a memory file system keeps that cheap.
    std::error_code ec;
    std::string base = std::filesystem::is_directory("/dev/shm", ec)
                           ? std::string("/dev/shm")
                           : std::filesystem::temp_directory_path().string();
    std::string pattern = base + "/kvfuzzpipe.XXXXXX";
    if (!mkdtemp(pattern.data()))
        std::abort();
    return pattern;
}

struct Env {
    std::string dir = MakeScratchDir();
    // No instances: the servers create no socket, the requests go to their handlers directly.
    std::unique_ptr<TFtrackerSrvInfo> info;
    std::unique_ptr<TFtrackerSrvControl> control;
    std::vector<uint8_t> request = std::vector<uint8_t>(PipeBufferSize);
    std::vector<uint8_t> answer = std::vector<uint8_t>(PipeBufferSize + 64);

    Env() {
        SetDebugTarget(nullptr, dir + "/debug.log");
        info = std::make_unique<TFtrackerSrvInfo>("FuzzInfo", 0);
        control = std::make_unique<TFtrackerSrvControl>("FuzzControl", 0, kIni, dir);
        info->SetOnGetStats([](TFtrackerSrvInfo&, TServiceStateRecord& state) {
            state.Size = sizeof state;
            state.Busy = 1;
        });
    }
    ~Env() {
        info.reset();
        control.reset();
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    std::string File() const {
        std::ifstream in(dir + "/" + kIni, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
};

void Check(bool condition) {
    if (!condition)
        std::abort();
}

// Runs one request; returns the answer header and checks the buffer around the answer.
TPipeMessageHeader Run(Env& env, TPipeServer& server, size_t size, uint32_t& length) {
    std::memset(env.answer.data(), 0xCC, env.answer.size());
    length = 0xFFFFFFFF;
    bool useDefault = true;
    server.ProcessRequest(env.request.data(), static_cast<uint32_t>(size), env.answer.data(),
                          static_cast<int32_t>(PipeBufferSize), length, useDefault);
    Check(!useDefault);
    Check(length >= PipeHeaderSize && length <= PipeBufferSize);
    static const std::vector<uint8_t> zeros(PipeBufferSize, 0);
    static const std::vector<uint8_t> guard(64, 0xCC);
    Check(std::memcmp(env.answer.data() + length, zeros.data(), PipeBufferSize - length) == 0);
    Check(std::memcmp(env.answer.data() + PipeBufferSize, guard.data(), guard.size()) == 0);
    TPipeMessageHeader header{};
    Check(ReadPipeHeader(env.answer.data(), length, header));
    Check(header.Reserved == 0);
    return header;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Env env;
    // The server never hands a handler more than one whole message.
    size = std::min<size_t>(size, PipeBufferSize);
    std::fill(env.request.begin(), env.request.end(), 0);
    std::memcpy(env.request.data(), data, size);
    TPipeMessageHeader request{};
    bool hasHeader = ReadPipeHeader(env.request.data(), size, request);
    std::string command = hasHeader ? PipeCommandText(request) : std::string();

    uint32_t length = 0;
    TPipeMessageHeader answer = Run(env, *env.info, size, length);
    if (command == CmdReqGetStats) {
        Check(PipeCommandText(answer) == CmdAnsGetStats && length == StatsAnswerLength);
        Check(answer.PayloadLength == static_cast<int32_t>(StatsAnswerPayload));
    } else {
        Check(PipeCommandText(answer) == CmdAnsReqUnknown && length == PipeHeaderSize);
    }

    std::string before = env.File();
    answer = Run(env, *env.control, size, length);
    std::string after = env.File();
    if (command == CmdReqGetConfig) {
        Check(PipeCommandText(answer) == CmdAnsGetConfig);
        Check(answer.PayloadLength >= 0 && length == PipeHeaderSize + answer.PayloadLength);
        Check(before.compare(0, answer.PayloadLength,
                             reinterpret_cast<const char*>(env.answer.data()) + PipeHeaderSize,
                             answer.PayloadLength) == 0);
        Check(after == before);
    } else if (command == CmdReqSetConfig) {
        Check(PipeCommandText(answer) == CmdAnsSetConfig && length == PipeHeaderSize);
        int64_t announced = request.PayloadLength;
        bool complete = announced >= 0 && announced + PipeHeaderSize <= static_cast<int64_t>(size);
        Check(answer.Status == (complete ? 0 : 1));
        if (complete)
            Check(after == std::string(reinterpret_cast<const char*>(data) + PipeHeaderSize,
                                       static_cast<size_t>(announced)));
        else
            Check(after == before);
    } else {
        Check(PipeCommandText(answer) == CmdAnsReqUnknown && length == PipeHeaderSize);
        Check(after == before);
    }
    return 0;
}
