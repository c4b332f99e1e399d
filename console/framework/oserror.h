// Operating-system failures as the console shows them: "System Error.  Code: %d." followed by
// CR LF and the system's text for the code.
#pragma once

#include <string>

#include "platform/errors.h"

// The console's form of an operating-system failure `code` with the system's `text`; code 0
// gives "A call to an OS function failed".
EOSError ConsoleOSError(int code, const std::string& text);
// The same for a failure the platform layer raised.
EOSError ConsoleOSError(const EOSError& cause);

// Runs a call into the platform layer; an operating-system failure it raises leaves in the
// console's form.
template <class Call> auto OSCall(Call&& call) {
    try {
        return call();
    } catch (const EOSError& e) {
        throw ConsoleOSError(e);
    }
}
