#include "platform/svcmgr/svcmgr_bridge.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "platform/errors.h"
#include "platform/namedpipe.h"
#include "platform/svcmgr/svcmgr_client.h"
#include "platform/svcroot.h"

namespace svcbridge {

namespace {

void PutU32(std::string& out, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

uint32_t GetU32(const unsigned char* bytes) {
    return uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 |
           uint32_t(bytes[3]) << 24;
}

} // namespace

std::string EncodeFrame(uint32_t kind, uint32_t value, const std::string& payload) {
    std::string frame;
    frame.reserve(HeaderSize + payload.size());
    PutU32(frame, Magic);
    PutU32(frame, kind);
    PutU32(frame, value);
    PutU32(frame, static_cast<uint32_t>(payload.size()));
    frame += payload;
    return frame;
}

bool DecodeHeader(const unsigned char* bytes, TFrameHeader& header) {
    if (GetU32(bytes) != Magic)
        return false;
    header.Kind = GetU32(bytes + 4);
    header.Value = GetU32(bytes + 8);
    header.Length = GetU32(bytes + 12);
    return header.Length <= MaxPayload;
}

std::string EncodePipeRequest(const std::string& pipeName, const void* message, size_t length) {
    std::string payload;
    PutU32(payload, static_cast<uint32_t>(pipeName.size()));
    payload += pipeName;
    payload.append(static_cast<const char*>(message), length);
    return payload;
}

bool DecodePipeRequest(const std::string& payload, std::string& pipeName, std::string& message) {
    if (payload.size() < 4)
        return false;
    uint64_t nameLength = GetU32(reinterpret_cast<const unsigned char*>(payload.data()));
    if (4 + nameLength > payload.size())
        return false;
    pipeName = payload.substr(4, nameLength);
    message = payload.substr(4 + nameLength);
    return true;
}

} // namespace svcbridge

namespace {

using namespace svcbridge;

// Reads exactly `length` bytes; 0 at the end of the input before the first byte, -1 when the
// input ends or fails part way.
int ReadExact(int fd, void* buffer, size_t length) {
    size_t done = 0;
    while (done < length) {
        ssize_t n = ::read(fd, static_cast<char*>(buffer) + done, length - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return done == 0 && n == 0 ? 0 : -1;
        done += static_cast<size_t>(n);
    }
    return 1;
}

bool WriteAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Relays one request; returns the answer frame.
std::string Relay(const TFrameHeader& header, const std::string& payload) {
    int timeoutMs = static_cast<int>(
        header.Value == 0 || header.Value > MaxTimeoutMs ? MaxTimeoutMs : header.Value);
    try {
        if (header.Kind == KindManager)
            return EncodeFrame(KindManager, 0,
                               SvcMgrTransact(SvcMgrSocketPath(), payload, timeoutMs));
        if (header.Kind == KindPipe) {
            std::string name, message;
            if (!DecodePipeRequest(payload, name, message))
                throw OSErrorFromErrno(EBADMSG);
            std::string answer(PipeMessageMax, '\0');
            size_t length = CallNamedPipe("\\\\.\\pipe\\" + name, message.data(), message.size(),
                                          answer.data(), answer.size(), timeoutMs);
            answer.resize(length);
            return EncodeFrame(KindPipe, 0, answer);
        }
        throw OSErrorFromErrno(EOPNOTSUPP);
    } catch (const EOSError& e) {
        return EncodeFrame(header.Kind, static_cast<uint32_t>(e.Code), e.what());
    } catch (const std::exception& e) {
        return EncodeFrame(header.Kind, EIO, e.what());
    }
}

} // namespace

int RunSvcMgrBridge(int inFd, int outFd) {
    // A client that goes away must end the bridge through a failed write, not a signal.
    std::signal(SIGPIPE, SIG_IGN);
    if (!WriteAll(outFd, EncodeFrame(KindHello, 0, Version)))
        return 1;
    for (;;) {
        unsigned char raw[HeaderSize];
        int got = ReadExact(inFd, raw, sizeof raw);
        if (got == 0)
            return 0;
        TFrameHeader header;
        if (got < 0 || !DecodeHeader(raw, header)) {
            std::fprintf(stderr, "svcmgr bridge: broken request stream\n");
            return 1;
        }
        std::string payload(header.Length, '\0');
        if (header.Length > 0 && ReadExact(inFd, payload.data(), payload.size()) != 1) {
            std::fprintf(stderr, "svcmgr bridge: broken request stream\n");
            return 1;
        }
        if (!WriteAll(outFd, Relay(header, payload)))
            return 1;
    }
}
