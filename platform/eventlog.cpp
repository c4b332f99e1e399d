#include "platform/eventlog.h"

#include <mutex>
#include <syslog.h>

namespace {

// openlog() keeps the ident pointer, and there is one per process: every logger re-opens
// with its own ident before it writes, and the owner's destructor closes the log so that no
// later syslog() call (from a library, say) reads a freed string.
std::mutex syslogMutex;
const TEventLogger* identOwner = nullptr;

int PriorityOf(int eventType) {
    switch (eventType) {
    case EVENTLOG_ERROR_TYPE:
        return LOG_ERR;
    case EVENTLOG_WARNING_TYPE:
        return LOG_WARNING;
    default:
        return LOG_INFO;
    }
}

} // namespace

TEventLogger::TEventLogger(const std::string& source) : source_(source) {}

TEventLogger::~TEventLogger() {
    std::lock_guard lock(syslogMutex);
    if (identOwner == this) {
        closelog();
        identOwner = nullptr;
    }
}

void TEventLogger::LogMessage(const std::string& message, int eventType) {
    std::lock_guard lock(syslogMutex);
    if (identOwner != this) {
        openlog(source_.c_str(), LOG_PID, LOG_DAEMON);
        identOwner = this;
    }
    syslog(LOG_DAEMON | PriorityOf(eventType), "%s", message.c_str());
}
