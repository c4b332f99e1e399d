#include "common/debuglog.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>

#include "common/Comserv.h"
#include "common/datetime.h"
#include "common/langtext.h"
#include "platform/eventlog.h"
#include "platform/privatefile.h"

namespace {

constexpr int64_t MaxDebugFileSize = 131072;

// Process-wide state of the log. fileMutex covers every open-write-close and the trim, so
// that lines of different threads never mix; targetMutex covers the event-log target and is
// held while writing to it, so that once ClearDebugTarget returns no thread still uses the
// logger (its owner may destroy it then).
struct LogState {
    std::mutex fileMutex;
    std::string fileName = langtext::DefaultDebugFileName;
    std::mutex targetMutex;
    TEventLogger* eventLog = nullptr;
};

LogState& State() {
    static LogState state;
    return state;
}

// The fixed prefix formats, taken once.
const TFormatSettings& PrefixSettings() {
    static const TFormatSettings settings = LogFormatSettings();
    return settings;
}

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

// Every CR LF pair becomes one space; a lone CR or LF stays.
std::string FileLineOf(const std::string& line) {
    std::string text;
    text.reserve(line.size() + 2);
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '\r' && i + 1 < line.size() && line[i + 1] == '\n') {
            text += ' ';
            ++i;
        } else {
            text += line[i];
        }
    }
    text += "\r\n";
    return text;
}

void WriteEventLog(int level, const std::string& msg) {
    try {
        LogState& state = State();
        std::lock_guard lock(state.targetMutex);
        if (state.eventLog == nullptr)
            return;
        const bool information = level >= 0 && level <= 2;
        state.eventLog->LogMessage(msg,
                                   information ? EVENTLOG_INFORMATION_TYPE : EVENTLOG_ERROR_TYPE);
    } catch (...) {
        // The event log is a second copy of the line; losing it must not stop the caller.
    }
}

} // namespace

void DebugLog(int level, const std::string& msg) {
    DebugLog(level, msg, msg);
}

void DebugLog(int level, const std::string& msg, const std::string& publicMsg) {
    try {
        const TDateTime now = Now();
        const TFormatSettings& fs = PrefixSettings();
        WriteDebugLine(FormatDateTime("ddddd", now, fs) + " " + FormatDateTime("tt", now, fs) +
                       "\t" + msg);
    } catch (...) {
        // Logging never fails its caller.
    }
    WriteEventLog(level, publicMsg);
}

void WriteDebugLine(const std::string& line) {
    try {
        const std::string text = FileLineOf(line);
        LogState& state = State();
        std::lock_guard lock(state.fileMutex);
        // Opened and closed for every line, so that the file can be read, moved or deleted
        // between two lines.
        std::unique_ptr<std::FILE, FileCloser> file(OpenPrivateForAppend(state.fileName));
        if (!file)
            return;
        std::fwrite(text.data(), 1, text.size(), file.get());
    } catch (...) {
        // A line that cannot be written is lost; nothing is reported.
    }
}

void SetDebugTarget(TEventLogger* eventLog, const std::string& fileName) {
    LogState& state = State();
    {
        std::lock_guard lock(state.targetMutex);
        state.eventLog = eventLog;
    }
    std::lock_guard lock(state.fileMutex);
    state.fileName = fileName;
}

void ClearDebugTarget() {
    LogState& state = State();
    std::lock_guard lock(state.targetMutex);
    state.eventLog = nullptr;
}

void TrimDebugFile() {
    LogState& state = State();
    std::lock_guard lock(state.fileMutex);
    try {
        if (GetFileSize64(state.fileName) > MaxDebugFileSize)
            std::remove(state.fileName.c_str()); // a failed delete is ignored
    } catch (...) {
    }
}

std::string DebugFileName() {
    LogState& state = State();
    std::lock_guard lock(state.fileMutex);
    return state.fileName;
}
