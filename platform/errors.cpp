#include "platform/errors.h"

#include <cstring>

std::string SysErrorMessage(int code) {
    char buffer[256];
    // GNU strerror_r may return a static string instead of filling the buffer.
    const char* text = strerror_r(code, buffer, sizeof buffer);
    return text ? std::string(text) : std::string();
}

EOSError OSErrorFromErrno(int code) {
    return EOSError(code, SysErrorMessage(code));
}
