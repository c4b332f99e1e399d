// `svcmgr bridge`: run by ssh on the service's PC, it carries the requests of a console or
// administrator's client on another PC to this PC's manager socket and named pipes.
//
// The stream on standard input and output is a sequence of frames. Each frame is a 16-byte
// header of four little-endian uint32 and a payload:
//   request: magic, kind, time-out in ms, payload length
//   answer:  magic, kind, error code (0 success), payload length
// Kinds: 0 hello (sent once by the bridge when it starts, payload the protocol version),
// 1 manager (payload one raw manager request; answer the manager's raw answer) and 2 pipe
// (payload: name length, pipe name, one message; answer the pipe's one answer). A failed
// relay answers with the error code and its text as payload; the stream stays usable. A
// stream that breaks the framing ends the bridge.
//
// The bridge acts with the rights of its user: the manager and the pipes check them as for
// any local client.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace svcbridge {

constexpr uint32_t Magic = 0x31425653; // "SVB1" in little-endian order
constexpr uint32_t KindHello = 0;
constexpr uint32_t KindManager = 1;
constexpr uint32_t KindPipe = 2;
constexpr size_t HeaderSize = 16;
// Room for the largest manager or pipe message with its framing.
constexpr size_t MaxPayload = 65536;
// Time-outs a request may ask for.
constexpr uint32_t MaxTimeoutMs = 300000;
constexpr const char* Version = "1";

struct TFrameHeader {
    uint32_t Kind = 0;
    uint32_t Value = 0; // time-out of a request, error code of an answer
    uint32_t Length = 0;
};

std::string EncodeFrame(uint32_t kind, uint32_t value, const std::string& payload);
// Decodes a header of HeaderSize bytes; false when the magic or the length is wrong.
bool DecodeHeader(const unsigned char* bytes, TFrameHeader& header);
// A pipe request's payload, and its parts back; false when the lengths do not add up.
std::string EncodePipeRequest(const std::string& pipeName, const void* message, size_t length);
bool DecodePipeRequest(const std::string& payload, std::string& pipeName, std::string& message);

} // namespace svcbridge

// Serves frames from `inFd` to `outFd` until the end of the input. Returns the exit status:
// 0 at the end of the input, 1 after a broken stream.
int RunSvcMgrBridge(int inFd, int outFd);
