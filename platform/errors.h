// Exceptions of the system: every failure carries its message text; operating-system
// failures carry their error code too.
#pragma once

#include <stdexcept>
#include <string>

// Base of every error the system raises; what() is the message shown or logged.
class Exception : public std::runtime_error {
public:
    explicit Exception(const std::string& message) : std::runtime_error(message) {}
};

// A failure reported by the operating system or by one of the platform stand-ins. Codes are
// errno values, or the numbers the callers test (1060, 1056, ...), which do not collide.
class EOSError : public Exception {
public:
    EOSError(int code, const std::string& message) : Exception(message), Code(code) {}
    int Code;
};

// Raised when an object cannot be converted or assigned to another.
class EConvertError : public Exception {
public:
    using Exception::Exception;
};

// The error for errno value `code`, with the system's own message text.
EOSError OSErrorFromErrno(int code);
// strerror text for an errno value, thread safe.
std::string SysErrorMessage(int code);
