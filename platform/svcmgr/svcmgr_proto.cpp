#include "platform/svcmgr/svcmgr_proto.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/svcmgr/svcmgr_texts.h"

namespace svcproto {

namespace {

constexpr size_t StatusFieldCount = 9;

bool IsClientOp(uint16_t op) {
    return op >= static_cast<uint16_t>(TOp::OpenManager) &&
           op <= static_cast<uint16_t>(TOp::CheckAccount);
}

void WriteHeader(TWireWriter& out, TOp op, uint32_t payloadSize) {
    out.U32(Magic);
    out.U32(static_cast<uint32_t>(op)); // op in the low 16 bits, reserved high bits zero
    out.U32(payloadSize);
}

// Checks the 12-byte header of a request or channel message and returns its op; the
// payload follows at RequestHeaderSize.
uint16_t ReadRequestHeader(const void* data, size_t size) {
    if (size < RequestHeaderSize || size > MaxMessage)
        throw BadMessage();
    TWireReader in(data, RequestHeaderSize);
    if (in.U32() != Magic)
        throw BadMessage();
    uint32_t opField = in.U32();
    if (opField > 0xFFFF)
        throw BadMessage();
    if (in.U32() != size - RequestHeaderSize)
        throw BadMessage();
    return static_cast<uint16_t>(opField);
}

TWireReader PayloadReader(const void* data, size_t size) {
    return TWireReader(static_cast<const unsigned char*>(data) + RequestHeaderSize,
                       size - RequestHeaderSize);
}

std::string Frame(TOp op, const std::string& payload) {
    TWireWriter out;
    WriteHeader(out, op, static_cast<uint32_t>(payload.size()));
    return out.Data() + payload;
}

} // namespace

void TWireWriter::U32(uint32_t value) {
    for (int i = 0; i < 4; ++i)
        data_.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

void TWireWriter::Str(const std::string& value) {
    U32(static_cast<uint32_t>(value.size()));
    data_ += value;
}

void TWireWriter::Status(const TServiceStatus& s) {
    U32(s.ServiceType);
    U32(s.CurrentState);
    U32(s.ControlsAccepted);
    U32(s.Win32ExitCode);
    U32(s.ServiceSpecificExitCode);
    U32(s.CheckPoint);
    U32(s.WaitHint);
    U32(s.ProcessId);
    U32(static_cast<uint32_t>(s.ProcessExitCode));
}

TWireReader::TWireReader(const void* data, size_t size)
    : data_(static_cast<const unsigned char*>(data)), size_(size) {}

uint32_t TWireReader::U32() {
    if (size_ - pos_ < 4)
        throw BadMessage();
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i)
        value |= static_cast<uint32_t>(data_[pos_ + i]) << (8 * i);
    pos_ += 4;
    return value;
}

std::string TWireReader::Str() {
    uint32_t length = U32();
    if (length > MaxString || length > size_ - pos_)
        throw BadMessage();
    std::string value(reinterpret_cast<const char*>(data_ + pos_), length);
    if (value.find('\0') != std::string::npos)
        throw BadMessage();
    pos_ += length;
    return value;
}

TServiceStatus TWireReader::Status() {
    uint32_t fields[StatusFieldCount];
    for (auto& field : fields)
        field = U32();
    TServiceStatus s;
    s.ServiceType = fields[0];
    s.CurrentState = fields[1];
    s.ControlsAccepted = fields[2];
    s.Win32ExitCode = fields[3];
    s.ServiceSpecificExitCode = fields[4];
    s.CheckPoint = fields[5];
    s.WaitHint = fields[6];
    s.ProcessId = fields[7];
    s.ProcessExitCode = static_cast<int32_t>(fields[8]);
    return s;
}

void TWireReader::ExpectEnd() const {
    if (pos_ != size_)
        throw BadMessage();
}

uint32_t MapServiceAccess(uint32_t access) {
    uint32_t mapped = access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
    if (access & GENERIC_READ)
        mapped |= SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_INTERROGATE |
                  SERVICE_ENUMERATE_DEPENDENTS;
    if (access & GENERIC_WRITE)
        mapped |= SERVICE_CHANGE_CONFIG;
    if (access & GENERIC_EXECUTE)
        mapped |= SERVICE_START | SERVICE_STOP | SERVICE_PAUSE_CONTINUE | SERVICE_INTERROGATE |
                  SERVICE_USER_DEFINED_CONTROL;
    if (access & GENERIC_ALL)
        mapped |= SERVICE_ALL_ACCESS;
    return mapped;
}

uint32_t MapManagerAccess(uint32_t access) {
    uint32_t mapped = access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
    if (access & GENERIC_READ)
        mapped |= SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_QUERY_LOCK_STATUS;
    if (access & GENERIC_WRITE)
        mapped |= SC_MANAGER_CREATE_SERVICE | SC_MANAGER_MODIFY_BOOT_CONFIG;
    if (access & GENERIC_EXECUTE)
        mapped |= SC_MANAGER_CONNECT | SC_MANAGER_LOCK;
    if (access & GENERIC_ALL)
        mapped |= SC_MANAGER_ALL_ACCESS;
    return mapped;
}

bool NeedsAdminForService(uint32_t mapped) {
    // Reading the configuration and status, listing dependents and interrogating are open
    // to everyone; everything else changes the service or its state.
    constexpr uint32_t everyone = SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS |
                                  SERVICE_ENUMERATE_DEPENDENTS | SERVICE_INTERROGATE |
                                  0x00020000; // READ_CONTROL
    return (mapped & ~everyone) != 0;
}

bool NeedsAdminForManager(uint32_t mapped) {
    constexpr uint32_t everyone = SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE |
                                  SC_MANAGER_QUERY_LOCK_STATUS | 0x00020000; // READ_CONTROL
    return (mapped & ~everyone) != 0;
}

uint32_t AccessForControl(uint32_t controlCode) {
    switch (controlCode) {
    case SERVICE_CONTROL_STOP:
        return SERVICE_STOP;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
        return SERVICE_PAUSE_CONTINUE;
    case SERVICE_CONTROL_INTERROGATE:
        return SERVICE_INTERROGATE;
    default:
        return SERVICE_USER_DEFINED_CONTROL;
    }
}

EOSError Error(int code, const std::string& text) {
    return EOSError(code, text);
}

EOSError BadMessage() {
    return EOSError(EBADMSG, svctext::ErrBadRequest);
}

std::string Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text;
    if (length > 0) {
        text.resize(static_cast<size_t>(length) + 1);
        std::vsnprintf(text.data(), text.size(), format, args);
        text.resize(static_cast<size_t>(length));
    }
    va_end(args);
    return text;
}

std::string EncodeRequest(const TClientRequest& r) {
    TWireWriter p;
    switch (r.Op) {
    case TOp::OpenManager:
        p.U32(r.Access);
        break;
    case TOp::OpenService:
        p.Str(r.ServiceName);
        p.U32(r.Access);
        break;
    case TOp::QueryStatus:
    case TOp::QueryConfig:
    case TOp::Start:
    case TOp::Delete:
        p.Str(r.ServiceName);
        break;
    case TOp::ListServices:
        break;
    case TOp::Control:
        p.Str(r.ServiceName);
        p.U32(r.Control);
        break;
    case TOp::ChangeConfig:
        p.Str(r.ServiceName);
        p.U32(r.ChangeMask);
        p.Str(r.DisplayName);
        p.Str(r.BinaryPathName);
        p.Str(r.ServiceStartName);
        p.Str(r.Password);
        if (r.ChangeMask & ChangeStartType)
            p.U32(r.StartType);
        break;
    case TOp::CheckAccount:
        p.Str(r.ServiceName);
        p.Str(r.ServiceStartName);
        p.Str(r.Password);
        break;
    case TOp::Create:
        p.Str(r.ServiceName);
        p.Str(r.DisplayName);
        p.Str(r.BinaryPathName);
        p.Str(r.ServiceStartName);
        p.Str(r.Password);
        p.U32(r.StartType);
        break;
    default:
        throw Error(EINVAL, svctext::ErrUnknownRequest);
    }
    if (RequestHeaderSize + p.Data().size() > MaxMessage)
        throw Error(EMSGSIZE, svctext::ErrRequestTooLong);
    return Frame(r.Op, p.Data());
}

TClientRequest DecodeRequest(const void* data, size_t size) {
    uint16_t op = ReadRequestHeader(data, size);
    if (!IsClientOp(op))
        throw Error(EOPNOTSUPP, svctext::ErrUnknownRequest);
    TWireReader in = PayloadReader(data, size);
    TClientRequest r;
    r.Op = static_cast<TOp>(op);
    switch (r.Op) {
    case TOp::OpenManager:
        r.Access = in.U32();
        break;
    case TOp::OpenService:
        r.ServiceName = in.Str();
        r.Access = in.U32();
        break;
    case TOp::QueryStatus:
    case TOp::QueryConfig:
    case TOp::Start:
    case TOp::Delete:
        r.ServiceName = in.Str();
        break;
    case TOp::ListServices:
        break;
    case TOp::Control:
        r.ServiceName = in.Str();
        r.Control = in.U32();
        break;
    case TOp::ChangeConfig:
        r.ServiceName = in.Str();
        r.ChangeMask = in.U32();
        r.DisplayName = in.Str();
        r.BinaryPathName = in.Str();
        r.ServiceStartName = in.Str();
        r.Password = in.Str();
        if ((r.ChangeMask & ~ChangeAll) != 0)
            throw BadMessage();
        if (r.ChangeMask & ChangeStartType)
            r.StartType = in.U32();
        break;
    case TOp::CheckAccount:
        r.ServiceName = in.Str();
        r.ServiceStartName = in.Str();
        r.Password = in.Str();
        break;
    case TOp::Create:
        r.ServiceName = in.Str();
        r.DisplayName = in.Str();
        r.BinaryPathName = in.Str();
        r.ServiceStartName = in.Str();
        r.Password = in.Str();
        if (!in.AtEnd())
            r.StartType = in.U32();
        break;
    default:
        throw Error(EOPNOTSUPP, svctext::ErrUnknownRequest);
    }
    in.ExpectEnd();
    return r;
}

std::string EncodeAnswer(TOp op, int code, const std::string& payload) {
    TWireWriter out;
    out.U32(Magic);
    out.U32(static_cast<uint32_t>(op));
    out.U32(static_cast<uint32_t>(code));
    // An answer never outgrows a message: a list that would is cut by its producer, and an
    // error text is cut here.
    std::string body = payload;
    if (AnswerHeaderSize + body.size() > MaxMessage)
        body.resize(MaxMessage - AnswerHeaderSize);
    out.U32(static_cast<uint32_t>(body.size()));
    return out.Data() + body;
}

TAnswer DecodeAnswer(const void* data, size_t size) {
    auto bad = [] { return Error(EBADMSG, svctext::ErrManagerBadAnswer); };
    if (size < AnswerHeaderSize || size > MaxMessage)
        throw bad();
    TWireReader in(data, AnswerHeaderSize);
    if (in.U32() != Magic)
        throw bad();
    uint32_t op = in.U32();
    uint32_t code = in.U32();
    if (op > 0xFFFF || code > 0x7FFFFFFF)
        throw bad();
    if (in.U32() != size - AnswerHeaderSize)
        throw bad();
    TAnswer answer;
    answer.Op = static_cast<TOp>(op);
    answer.Code = static_cast<int>(code);
    answer.Payload.assign(static_cast<const char*>(data) + AnswerHeaderSize,
                          size - AnswerHeaderSize);
    return answer;
}

void CheckAnswer(const TAnswer& answer) {
    if (answer.Code == 0)
        return;
    // The error text travels as the whole payload.
    std::string text = answer.Payload;
    if (text.find('\0') != std::string::npos)
        text.resize(text.find('\0'));
    throw Error(answer.Code, text);
}

std::string EncodeStatusPayload(const TServiceStatus& status) {
    TWireWriter out;
    out.Status(status);
    return out.Data();
}

TServiceStatus DecodeStatusPayload(const std::string& payload) {
    TWireReader in(payload);
    TServiceStatus status = in.Status();
    in.ExpectEnd();
    return status;
}

std::string EncodeConfigPayload(const TServiceConfig& config) {
    TWireWriter out;
    out.Str(config.ServiceName);
    out.Str(config.DisplayName);
    out.Str(config.BinaryPathName);
    out.Str(config.ServiceStartName);
    out.U32(config.StartType);
    return out.Data();
}

TServiceConfig DecodeConfigPayload(const std::string& payload) {
    TWireReader in(payload);
    TServiceConfig config;
    config.ServiceName = in.Str();
    config.DisplayName = in.Str();
    config.BinaryPathName = in.Str();
    config.ServiceStartName = in.Str();
    if (!in.AtEnd()) // a manager that predates start types sends none
        config.StartType = in.U32();
    in.ExpectEnd();
    return config;
}

std::string EncodeListPayload(const std::vector<TServiceListEntry>& entries) {
    // Entries that would not fit into one answer are left out; the count says how many came.
    std::string body;
    uint32_t count = 0;
    for (const auto& entry : entries) {
        TWireWriter one;
        one.Str(entry.ServiceName);
        one.Str(entry.DisplayName);
        one.Status(entry.Status);
        if (AnswerHeaderSize + 4 + body.size() + one.Data().size() > MaxMessage)
            break;
        body += one.Data();
        ++count;
    }
    TWireWriter out;
    out.U32(count);
    return out.Data() + body;
}

std::vector<TServiceListEntry> DecodeListPayload(const std::string& payload) {
    TWireReader in(payload);
    uint32_t count = in.U32();
    if (count > MaxMessage / (4 * StatusFieldCount))
        throw Error(EBADMSG, svctext::ErrManagerBadAnswer);
    std::vector<TServiceListEntry> entries;
    for (uint32_t i = 0; i < count; ++i) {
        TServiceListEntry entry;
        entry.ServiceName = in.Str();
        entry.DisplayName = in.Str();
        entry.Status = in.Status();
        entries.push_back(std::move(entry));
    }
    in.ExpectEnd();
    return entries;
}

std::string EncodeStatusReport(const TServiceStatus& status) {
    return Frame(TOp::StatusReport, EncodeStatusPayload(status));
}

TServiceStatus DecodeStatusReport(const void* data, size_t size) {
    if (ReadRequestHeader(data, size) != static_cast<uint16_t>(TOp::StatusReport))
        throw BadMessage();
    TWireReader in = PayloadReader(data, size);
    TServiceStatus status = in.Status();
    in.ExpectEnd();
    return status;
}

std::string EncodeControlCode(uint32_t code) {
    TWireWriter p;
    p.U32(code);
    return Frame(TOp::ControlCode, p.Data());
}

uint32_t DecodeControlCode(const void* data, size_t size) {
    if (ReadRequestHeader(data, size) != static_cast<uint16_t>(TOp::ControlCode))
        throw BadMessage();
    TWireReader in = PayloadReader(data, size);
    uint32_t code = in.U32();
    in.ExpectEnd();
    return code;
}

uint16_t ChannelOp(const void* data, size_t size) {
    return ReadRequestHeader(data, size);
}

std::string EncodePipeBind(const std::string& pipeName, uint32_t mode) {
    TWireWriter p;
    p.Str(pipeName);
    p.U32(mode);
    return Frame(TOp::PipeBind, p.Data());
}

void DecodePipeBind(const void* data, size_t size, std::string& pipeName, uint32_t& mode) {
    if (ReadRequestHeader(data, size) != static_cast<uint16_t>(TOp::PipeBind))
        throw BadMessage();
    TWireReader in = PayloadReader(data, size);
    pipeName = in.Str();
    mode = in.U32();
    in.ExpectEnd();
}

std::string EncodePipeBound(int code, const std::string& text) {
    TWireWriter p;
    p.U32(static_cast<uint32_t>(code));
    p.Str(text.substr(0, 1024));
    return Frame(TOp::PipeBound, p.Data());
}

void DecodePipeBound(const void* data, size_t size, int& code, std::string& text) {
    if (ReadRequestHeader(data, size) != static_cast<uint16_t>(TOp::PipeBound))
        throw BadMessage();
    TWireReader in = PayloadReader(data, size);
    code = static_cast<int>(in.U32());
    text = in.Str();
    in.ExpectEnd();
}

} // namespace svcproto
