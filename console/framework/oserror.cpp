#include "console/framework/oserror.h"

#include "common/langtext.h"
#include "common/strutil.h"

EOSError ConsoleOSError(int code, const std::string& text) {
    if (code == 0)
        return EOSError(0, langtext::OSFunctionFailed);
    return EOSError(code, Format(langtext::SystemErrorCode, code) + "\r\n" + text);
}

EOSError ConsoleOSError(const EOSError& cause) {
    return ConsoleOSError(cause.Code, cause.what());
}
