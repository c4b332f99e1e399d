#include "service/framework/ft_control.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "common/debuglog.h"
#include "common/langtext.h"
#include "common/strutil.h"
#include "platform/atomicfile.h"

namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

void SetCommand(TPipeMessageHeader& header, const char* command) {
    std::memset(header.Command, 0, sizeof header.Command);
    std::strncpy(header.Command, command, sizeof header.Command - 1);
}

// Writes an answer header at the start of `answer`.
void PutHeader(uint8_t* answer, const char* command, int32_t status, int32_t payloadLength) {
    TPipeMessageHeader header{};
    SetCommand(header, command);
    header.Status = status;
    header.PayloadLength = payloadLength;
    std::memcpy(answer, &header, sizeof header);
}

void AnswerUnknown(uint8_t* answer, uint32_t& answerLength) {
    PutHeader(answer, CmdAnsReqUnknown, 0, 0);
    answerLength = PipeHeaderSize;
}

// Starts an answer: clears the answer buffer over its capacity and reads the request's
// header. False when the answer is complete already: empty when the buffer cannot even hold
// a header, "ANSREQUNKNOWN" for a request shorter than a header.
bool StartAnswer(const uint8_t* request, uint32_t requestLength, uint8_t* answer, int32_t capacity,
                 uint32_t& answerLength, TPipeMessageHeader& header) {
    answerLength = 0;
    if (capacity < static_cast<int32_t>(PipeHeaderSize))
        return false;
    std::memset(answer, 0, static_cast<size_t>(capacity));
    if (ReadPipeHeader(request, requestLength, header))
        return true;
    AnswerUnknown(answer, answerLength);
    return false;
}

// Handlers are set and taken under their lock; a handler taken runs without the lock held.
template <typename Handler> void StoreUnderLock(std::mutex& lock, Handler& field, Handler value) {
    std::lock_guard<std::mutex> guard(lock);
    field = std::move(value);
}

template <typename Handler> Handler CopyUnderLock(std::mutex& lock, const Handler& field) {
    std::lock_guard<std::mutex> guard(lock);
    return field;
}

} // namespace

std::vector<uint8_t> BuildPipeRequest(std::string_view command, std::string_view payload) {
    if (command.size() > 15)
        throw std::invalid_argument("pipe command longer than 15 characters");
    TPipeMessageHeader header{};
    std::memcpy(header.Command, command.data(), command.size());
    header.PayloadLength = static_cast<int32_t>(payload.size());
    std::vector<uint8_t> message(PipeHeaderSize + payload.size());
    std::memcpy(message.data(), &header, sizeof header);
    if (!payload.empty())
        std::memcpy(message.data() + PipeHeaderSize, payload.data(), payload.size());
    return message;
}

bool ReadPipeHeader(const void* message, size_t length, TPipeMessageHeader& header) {
    if (length < PipeHeaderSize)
        return false;
    std::memcpy(&header, message, sizeof header);
    return true;
}

std::string PipeCommandText(const TPipeMessageHeader& header) {
    return std::string(header.Command, strnlen(header.Command, sizeof header.Command));
}

// ---------------------------------------------------------------------------------------------

TFtrackerSrvInfo::TFtrackerSrvInfo(const std::string& Name, int Instances)
    : TPipeServer(Name, Instances, PipeModeEveryone) {
    Start();
}

TFtrackerSrvInfo::~TFtrackerSrvInfo() {
    Destroy();
}

void TFtrackerSrvInfo::SetOnGetStats(TGetStatsEvent Handler) {
    StoreUnderLock(FHandlerLock, OnGetStats, std::move(Handler));
}

void TFtrackerSrvInfo::SetOnRequest(TRequestEvent Handler) {
    StoreUnderLock(FHandlerLock, OnRequest, std::move(Handler));
}

void TFtrackerSrvInfo::ProcessRequest(const uint8_t* Request, uint32_t RequestLength,
                                      uint8_t* Answer, int32_t AnswerCapacity,
                                      uint32_t& AnswerLength, bool& UseDefault) {
    UseDefault = false;
    TPipeMessageHeader request{};
    if (!StartAnswer(Request, RequestLength, Answer, AnswerCapacity, AnswerLength, request))
        return;
    if (PipeCommandText(request) == CmdReqGetStats &&
        AnswerCapacity >= static_cast<int32_t>(StatsAnswerLength)) {
        PutHeader(Answer, CmdAnsGetStats, 0, StatsAnswerPayload);
        FillStatistics(Answer + StatsOffsetCounters, Answer + StatsOffsetState);
        AnswerLength = StatsAnswerLength;
        return;
    }
    TRequestEvent handler = CopyUnderLock(FHandlerLock, OnRequest);
    if (handler && handler(Request, RequestLength, Answer, AnswerCapacity, AnswerLength)) {
        AnswerLength = std::min(AnswerLength, static_cast<uint32_t>(AnswerCapacity));
        return;
    }
    std::memset(Answer, 0, static_cast<size_t>(AnswerCapacity));
    AnswerUnknown(Answer, AnswerLength);
}

void TFtrackerSrvInfo::FillStatistics(uint8_t* StatisticsBuffer, uint8_t* StateBuffer) {
    TPipeStatistics counters{};
    CopyStatistics(counters);
    std::memcpy(StatisticsBuffer, &counters, sizeof counters);

    TGetStatsEvent handler = CopyUnderLock(FHandlerLock, OnGetStats);
    TServiceStateRecord state{};
    if (handler)
        handler(*this, state);
    std::memcpy(StateBuffer, &state, sizeof state);
}

// ---------------------------------------------------------------------------------------------

TFtrackerSrvControl::TFtrackerSrvControl(const std::string& Name, int Instances,
                                         const std::string& ConfigFileName,
                                         const std::string& ConfigDir)
    : TPipeServer(Name, Instances, PipeModeOwnerOnly), FConfigFileName(ConfigFileName),
      FConfigDir(ConfigDir) {
    Start();
}

TFtrackerSrvControl::~TFtrackerSrvControl() {
    Destroy();
}

std::string TFtrackerSrvControl::ConfigFilePath() const {
    return FConfigDir + "/" + FConfigFileName;
}

void TFtrackerSrvControl::SetOnConfigUpdated(TNotifyEvent Handler) {
    StoreUnderLock(FHandlerLock, OnConfigUpdated, std::move(Handler));
}

void TFtrackerSrvControl::SetOnConfigRetrieved(TNotifyEvent Handler) {
    StoreUnderLock(FHandlerLock, OnConfigRetrieved, std::move(Handler));
}

void TFtrackerSrvControl::ProcessRequest(const uint8_t* Request, uint32_t RequestLength,
                                         uint8_t* Answer, int32_t AnswerCapacity,
                                         uint32_t& AnswerLength, bool& UseDefault) {
    UseDefault = false;
    TPipeMessageHeader request{};
    if (!StartAnswer(Request, RequestLength, Answer, AnswerCapacity, AnswerLength, request))
        return;
    std::string command = PipeCommandText(request);
    if (command == CmdReqGetConfig) {
        int32_t capacity = std::min<int32_t>(AnswerCapacity - PipeHeaderSize,
                                             static_cast<int32_t>(PipePayloadMax));
        int32_t count = 0;
        bool whole = ReadConfigFile(Answer + PipeHeaderSize, capacity, count);
        PutHeader(Answer, CmdAnsGetConfig, whole ? ConfigStatusOk : ConfigStatusCut, count);
        AnswerLength = PipeHeaderSize + static_cast<uint32_t>(count);
    } else if (command == CmdReqSetConfig) {
        int64_t announced = request.PayloadLength;
        bool shortPayload = announced < 0 || announced + PipeHeaderSize > RequestLength;
        int32_t status = ConfigStatusShortPayload;
        if (!shortPayload)
            status = WriteConfigFile(Request + PipeHeaderSize, request.PayloadLength)
                         ? ConfigStatusOk
                         : ConfigStatusWriteFailed;
        PutHeader(Answer, CmdAnsSetConfig, status, 0);
        AnswerLength = PipeHeaderSize;
    } else {
        AnswerUnknown(Answer, AnswerLength);
    }
}

bool TFtrackerSrvControl::ReadConfigFile(uint8_t* Buffer, int32_t Capacity, int32_t& Count) {
    Count = 0;
    bool whole = true;
    try {
        std::unique_ptr<std::FILE, FileCloser> file(std::fopen(ConfigFilePath().c_str(), "rbe"));
        if (!file)
            return true;
        size_t read = std::fread(Buffer, 1, static_cast<size_t>(std::max(Capacity, 0)), file.get());
        if (std::ferror(file.get())) // a directory, an I/O error: nothing to send
            return true;
        Count = static_cast<int32_t>(read);
        // One more byte tells whether the file went on beyond what the answer carries.
        char beyond;
        whole = std::fread(&beyond, 1, 1, file.get()) == 0;
        file.reset();
        if (TNotifyEvent handler = CopyUnderLock(FHandlerLock, OnConfigRetrieved))
            handler(*this);
    } catch (...) {
        // The client gets what was read; the notification only logs.
    }
    return whole;
}

bool TFtrackerSrvControl::WriteConfigFile(const uint8_t* Buffer, int32_t Count) {
    std::string path = ConfigFilePath();
    try {
        // The file holds the transfer passwords: 0600 whatever mode it had, its owner kept.
        // A link at its name is replaced, never followed: under a user account the program
        // directory is open to that account.
        ReplacePrivateFileContents(
            path, std::string(reinterpret_cast<const char*>(Buffer), static_cast<size_t>(Count)),
            TLinkRule::ReplaceLink);
    } catch (const std::exception& e) {
        DebugLog(LogError, Format(langtext::PipeConfigWriteError, path.c_str(), e.what()));
        return false;
    }
    try {
        if (TNotifyEvent handler = CopyUnderLock(FHandlerLock, OnConfigUpdated))
            handler(*this);
    } catch (...) {
        // The file is in place; the notification only logs.
    }
    return true;
}
