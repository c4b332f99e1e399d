// The protocol of the service's two pipes and the two endpoints that answer on them.
// Every request and every answer is one message: a 28-byte header followed by the payload,
// 16384 bytes at most. Records are packed and little-endian.
//
// Information pipe: "REQGETSTATS" -> "ANSGETSTATS" with the pipe's traffic counters and the
// service status record. Control pipe: "REQGETCONFIG" -> "ANSGETCONFIG" with the
// configuration file, "REQSETCONFIG" (payload: the new file) -> "ANSSETCONFIG". Anything else
// gets "ANSREQUNKNOWN".
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "common/datetime.h"
#include "service/framework/srvpipe.h"

#pragma pack(push, 1)
struct TPipeMessageHeader {
    char Command[16];      // NUL-terminated, at most 15 characters, rest zero
    int32_t Status;        // ConfigStatus... of the configuration answers, else 0
    int32_t Reserved;      // written as 0, never read
    int32_t PayloadLength; // bytes following the header
};

// The service's status as the information pipe reports it (filled under the service lock).
struct TServiceStateRecord {
    uint16_t Size; // 511
    uint16_t VersionMajor;
    uint16_t VersionMinor;
    uint16_t VersionRelease;
    uint8_t Busy; // 1 while the service is not idle
    SYSTEMTIME LastEventTime;
    int32_t Reserved1; // 0
    SYSTEMTIME LastErrorTime;
    int32_t Reserved2; // 0
    char LastEventText[128];
    char LastErrorText[128];
    char LastOkFile[65];
    SYSTEMTIME LastOkTime;
    char LastBadFile[65];
    SYSTEMTIME LastBadTime;
    uint32_t FilesOk; // of the last progress report
    uint32_t FilesBad;
    uint32_t ElapsedMs;
    SYSTEMTIME ReportTime;
    SYSTEMTIME NextActionTime; // year 0: none
};
#pragma pack(pop)

// The records go on the wire as they lie in memory.
static_assert(std::endian::native == std::endian::little);

static_assert(sizeof(TPipeMessageHeader) == 28);
static_assert(offsetof(TPipeMessageHeader, Command) == 0);
static_assert(offsetof(TPipeMessageHeader, Status) == 16);
static_assert(offsetof(TPipeMessageHeader, Reserved) == 20);
static_assert(offsetof(TPipeMessageHeader, PayloadLength) == 24);

static_assert(sizeof(TServiceStateRecord) == 511);
static_assert(offsetof(TServiceStateRecord, Size) == 0);
static_assert(offsetof(TServiceStateRecord, VersionMajor) == 2);
static_assert(offsetof(TServiceStateRecord, VersionMinor) == 4);
static_assert(offsetof(TServiceStateRecord, VersionRelease) == 6);
static_assert(offsetof(TServiceStateRecord, Busy) == 8);
static_assert(offsetof(TServiceStateRecord, LastEventTime) == 9);
static_assert(offsetof(TServiceStateRecord, Reserved1) == 25);
static_assert(offsetof(TServiceStateRecord, LastErrorTime) == 29);
static_assert(offsetof(TServiceStateRecord, Reserved2) == 45);
static_assert(offsetof(TServiceStateRecord, LastEventText) == 49);
static_assert(offsetof(TServiceStateRecord, LastErrorText) == 177);
static_assert(offsetof(TServiceStateRecord, LastOkFile) == 305);
static_assert(offsetof(TServiceStateRecord, LastOkTime) == 370);
static_assert(offsetof(TServiceStateRecord, LastBadFile) == 386);
static_assert(offsetof(TServiceStateRecord, LastBadTime) == 451);
static_assert(offsetof(TServiceStateRecord, FilesOk) == 467);
static_assert(offsetof(TServiceStateRecord, FilesBad) == 471);
static_assert(offsetof(TServiceStateRecord, ElapsedMs) == 475);
static_assert(offsetof(TServiceStateRecord, ReportTime) == 479);
static_assert(offsetof(TServiceStateRecord, NextActionTime) == 495);

// Status of the configuration answers. "ANSGETCONFIG": 0, or ConfigStatusCut when the file
// is larger than the payload carries (a console must not edit and send back such a cut file).
// "ANSSETCONFIG": 0 when the file was replaced, ConfigStatusShortPayload when the request's
// payload was shorter than announced, ConfigStatusWriteFailed when the file could not be
// written (the old file stays whole).
constexpr int32_t ConfigStatusOk = 0;
constexpr int32_t ConfigStatusCut = 1;
constexpr int32_t ConfigStatusShortPayload = 1;
constexpr int32_t ConfigStatusWriteFailed = 2;

constexpr uint32_t PipeHeaderSize = sizeof(TPipeMessageHeader);      // 28
constexpr uint32_t PipePayloadMax = PipeBufferSize - PipeHeaderSize; // 16356
constexpr uint32_t StatsAnswerPayload = sizeof(TPipeStatistics) + sizeof(TServiceStateRecord);
constexpr uint32_t StatsAnswerLength = PipeHeaderSize + StatsAnswerPayload;     // 595
constexpr uint32_t StatsOffsetCounters = PipeHeaderSize;                        // 28
constexpr uint32_t StatsOffsetState = PipeHeaderSize + sizeof(TPipeStatistics); // 84
static_assert(StatsAnswerPayload == 567 && StatsAnswerLength == 595 && StatsOffsetState == 84);

// Commands, compared case-sensitively as NUL-terminated texts.
inline constexpr const char* CmdReqGetStats = "REQGETSTATS";
inline constexpr const char* CmdAnsGetStats = "ANSGETSTATS";
inline constexpr const char* CmdReqGetConfig = "REQGETCONFIG";
inline constexpr const char* CmdAnsGetConfig = "ANSGETCONFIG";
inline constexpr const char* CmdReqSetConfig = "REQSETCONFIG";
inline constexpr const char* CmdAnsSetConfig = "ANSSETCONFIG";
inline constexpr const char* CmdAnsReqUnknown = "ANSREQUNKNOWN";

// A request message: the zero-filled header with `command` (at most 15 characters) and, when
// there is a payload, its length, followed by the payload. The length is not checked against
// the message limit, so that callers can build overlong messages on purpose.
std::vector<uint8_t> BuildPipeRequest(std::string_view command, std::string_view payload = {});
// The header of `message`; false when it is shorter than a header.
bool ReadPipeHeader(const void* message, size_t length, TPipeMessageHeader& header);
// The command of a header: its text up to the first NUL, at most 16 characters.
std::string PipeCommandText(const TPipeMessageHeader& header);

// Answers "REQGETSTATS" on the information pipe.
class TFtrackerSrvInfo final : public TPipeServer {
public:
    using TGetStatsEvent = std::function<void(TFtrackerSrvInfo& Sender, TServiceStateRecord&)>;
    // An answer for a request the endpoint does not know; returns true when it answered.
    using TRequestEvent =
        std::function<bool(const uint8_t* Request, uint32_t RequestLength, uint8_t* Answer,
                           int32_t AnswerCapacity, uint32_t& AnswerLength)>;

    // Serves the pipe `Name` (open to every local user) at once.
    TFtrackerSrvInfo(const std::string& Name, int Instances);
    ~TFtrackerSrvInfo() override;

    // Each handler is replaced as a whole; an empty one clears it. Handlers run on the server
    // thread; OnGetStats takes the service lock itself. A call already under way when its
    // handler is cleared runs to its end; Destroy() waits for it.
    void SetOnGetStats(TGetStatsEvent Handler);
    void SetOnRequest(TRequestEvent Handler);

    void ProcessRequest(const uint8_t* Request, uint32_t RequestLength, uint8_t* Answer,
                        int32_t AnswerCapacity, uint32_t& AnswerLength, bool& UseDefault) override;
    // The traffic counters into `StatisticsBuffer` (56 bytes) and the status record from
    // OnGetStats into `StateBuffer` (511 bytes, zero without a handler).
    void FillStatistics(uint8_t* StatisticsBuffer, uint8_t* StateBuffer);

private:
    std::mutex FHandlerLock;
    TGetStatsEvent OnGetStats;
    TRequestEvent OnRequest;
};

// Hands out and replaces the service's configuration file on the control pipe.
class TFtrackerSrvControl final : public TPipeServer {
public:
    using TNotifyEvent = std::function<void(TFtrackerSrvControl& Sender)>;

    // Serves the pipe `Name` (root only) at once, for the file `ConfigFileName` in
    // `ConfigDir` (the program directory in the service).
    TFtrackerSrvControl(const std::string& Name, int Instances, const std::string& ConfigFileName,
                        const std::string& ConfigDir);
    ~TFtrackerSrvControl() override;

    void SetOnConfigUpdated(TNotifyEvent Handler);
    void SetOnConfigRetrieved(TNotifyEvent Handler);

    void ProcessRequest(const uint8_t* Request, uint32_t RequestLength, uint8_t* Answer,
                        int32_t AnswerCapacity, uint32_t& AnswerLength, bool& UseDefault) override;
    // Reads at most `Capacity` bytes of the file; `Count` stays 0 when it cannot be read.
    // False when the file holds more than `Capacity` bytes.
    bool ReadConfigFile(uint8_t* Buffer, int32_t Capacity, int32_t& Count);
    // Replaces the file with `Count` bytes. The new content goes to a temporary file that is
    // renamed over the old one, so a failed write leaves the old file whole; a new file is
    // readable by its owner only, since it holds passwords.
    // False (and the failure logged) when the file could not be replaced.
    bool WriteConfigFile(const uint8_t* Buffer, int32_t Count);

    const std::string& ConfigFileName() const { return FConfigFileName; }
    std::string ConfigFilePath() const;

private:
    std::string FConfigFileName;
    std::string FConfigDir;
    std::mutex FHandlerLock;
    TNotifyEvent OnConfigUpdated;
    TNotifyEvent OnConfigRetrieved;
};
