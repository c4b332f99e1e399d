// Messages of the service manager. Clients send one request per message on the manager's
// socket and get one answer; the manager and a service exchange status reports and control
// codes on the service's private channel. Both sockets are AF_UNIX SOCK_SEQPACKET, so a
// message arrives whole or not at all. Every field is checked: a message whose lengths do
// not add up exactly is rejected (docs/svcmgr.md gives the byte layout).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/svcmgr/svcmgr_types.h"

namespace svcproto {

constexpr uint32_t Magic = 0x314D5653; // "SVM1" in little-endian order
constexpr size_t MaxMessage = 16384;
constexpr size_t MaxString = 4096;
constexpr size_t RequestHeaderSize = 12;
constexpr size_t AnswerHeaderSize = 16;

enum class TOp : uint16_t {
    OpenManager = 1,
    OpenService = 2,
    QueryStatus = 3,
    QueryConfig = 4,
    ListServices = 5,
    Start = 6,
    Control = 7,
    ChangeConfig = 8,
    Create = 9,
    Delete = 10,
    CheckAccount = 11,
    // Private channel between the manager and a service.
    StatusReport = 100,
    ControlCode = 101,
    PipeBind = 102,  // service to manager, with the socket that takes the answer
    PipeBound = 103, // manager to service on that socket, with the listening socket
};

// Fields of ChangeConfig that carry a new value.
constexpr uint32_t ChangeDisplayName = 0x1;
constexpr uint32_t ChangeBinaryPath = 0x2;
constexpr uint32_t ChangeStartName = 0x4;
constexpr uint32_t ChangePassword = 0x8;
constexpr uint32_t ChangeStartType = 0x10; // the start type follows the other fields
constexpr uint32_t ChangeAll = 0x1F;

// A client's request; which fields travel depends on Op.
struct TClientRequest {
    TOp Op = TOp::OpenManager;
    std::string ServiceName;
    uint32_t Access = 0;     // OpenManager, OpenService
    uint32_t Control = 0;    // Control
    uint32_t ChangeMask = 0; // ChangeConfig
    std::string DisplayName, BinaryPathName, ServiceStartName, Password;
    // Create (a request from a client that predates start types has none: on demand), and
    // ChangeConfig with ChangeStartType.
    uint32_t StartType = SERVICE_DEMAND_START;
};

struct TAnswer {
    TOp Op = TOp::OpenManager;
    int Code = 0;        // 0: success
    std::string Payload; // the result, or the error text
};

// Builds the little-endian fields of a message.
class TWireWriter {
public:
    void U32(uint32_t value);
    void Str(const std::string& value);
    void Status(const TServiceStatus& status);
    const std::string& Data() const { return data_; }

private:
    std::string data_;
};

// Reads the fields of a message; any read past the end or an invalid string raises the
// malformed-message error.
class TWireReader {
public:
    TWireReader(const void* data, size_t size);
    explicit TWireReader(const std::string& data) : TWireReader(data.data(), data.size()) {}
    uint32_t U32();
    std::string Str();
    TServiceStatus Status();
    bool AtEnd() const { return pos_ == size_; }
    // Raises the malformed-message error when bytes are left over.
    void ExpectEnd() const;

private:
    const unsigned char* data_;
    size_t size_;
    size_t pos_ = 0;
};

// Generic rights turned into the specific rights of a service or of the manager.
uint32_t MapServiceAccess(uint32_t access);
uint32_t MapManagerAccess(uint32_t access);
// Rights that only an administrator (root, or the manager's own user) is given.
bool NeedsAdminForService(uint32_t mappedAccess);
bool NeedsAdminForManager(uint32_t mappedAccess);
// The right a control code needs on a service handle.
uint32_t AccessForControl(uint32_t controlCode);

// Errors of this layer: `code` with the text given.
EOSError Error(int code, const std::string& text);
// The malformed-message error (EBADMSG).
EOSError BadMessage();
// printf-style text building for the messages of the manager.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

std::string EncodeRequest(const TClientRequest& request);
TClientRequest DecodeRequest(const void* data, size_t size);

std::string EncodeAnswer(TOp op, int code, const std::string& payload);
TAnswer DecodeAnswer(const void* data, size_t size);
// Throws the answer's error when its code is not 0.
void CheckAnswer(const TAnswer& answer);

std::string EncodeStatusPayload(const TServiceStatus& status);
TServiceStatus DecodeStatusPayload(const std::string& payload);
std::string EncodeConfigPayload(const TServiceConfig& config);
TServiceConfig DecodeConfigPayload(const std::string& payload);
std::string EncodeListPayload(const std::vector<TServiceListEntry>& entries);
std::vector<TServiceListEntry> DecodeListPayload(const std::string& payload);

// Private channel: the service reports its status, the manager sends control codes.
std::string EncodeStatusReport(const TServiceStatus& status);
TServiceStatus DecodeStatusReport(const void* data, size_t size);
std::string EncodeControlCode(uint32_t code);
uint32_t DecodeControlCode(const void* data, size_t size);

// The op of a channel message (its header checked), so that a reader can tell them apart.
uint16_t ChannelOp(const void* data, size_t size);
// A service asks for the listening socket of one of its pipes; the answer carries an error
// code (0: the socket comes with it) and the error's text.
std::string EncodePipeBind(const std::string& pipeName, uint32_t mode);
void DecodePipeBind(const void* data, size_t size, std::string& pipeName, uint32_t& mode);
std::string EncodePipeBound(int code, const std::string& text);
void DecodePipeBound(const void* data, size_t size, int& code, std::string& text);

} // namespace svcproto
