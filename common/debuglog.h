// The one logging facility: time-stamped lines appended to a text file and, in the service,
// also written to the system log.
#pragma once

#include <string>

class TEventLogger;

// Levels 0 to 2 are information, every other value is an error.
constexpr int LogInfo = 0;
constexpr int LogError = 3;

// Writes "dd/mm/yyyy hh:nn:ss<TAB>message" (CR LF pairs become one space); never throws.
void DebugLog(int level, const std::string& msg);
// The same for a line that shows a secret: `msg` goes to the log file only, which is private
// to the service's account; the event log gets `publicMsg`, the line with the secret hidden.
void DebugLog(int level, const std::string& msg, const std::string& publicMsg);
// Appends one line to the current log file; never throws.
void WriteDebugLine(const std::string& line);
// Service only: log lines also go to `eventLog` and to `fileName`.
void SetDebugTarget(TEventLogger* eventLog, const std::string& fileName);
// Service only: stop writing to the event log; the file name stays.
void ClearDebugTarget();
// Service only: deletes the log file when it is larger than 131072 bytes.
void TrimDebugFile();
// The current log file name ("debug.txt" until a target is set).
std::string DebugFileName();
