// The system log in place of the event log: each message goes to syslog with the service
// name as ident and facility LOG_DAEMON; information as LOG_INFO, errors as LOG_ERR.
#pragma once

#include <string>

constexpr int EVENTLOG_ERROR_TYPE = 1;
constexpr int EVENTLOG_WARNING_TYPE = 2;
constexpr int EVENTLOG_INFORMATION_TYPE = 4;

class TEventLogger {
public:
    explicit TEventLogger(const std::string& source);
    virtual ~TEventLogger();
    TEventLogger(const TEventLogger&) = delete;
    TEventLogger& operator=(const TEventLogger&) = delete;

    // Writes `message` (line breaks kept) with the given event type; never throws. Virtual so
    // that tests can record what the log facility hands over.
    virtual void LogMessage(const std::string& message, int eventType);
    const std::string& Source() const { return source_; }

private:
    std::string source_;
};
