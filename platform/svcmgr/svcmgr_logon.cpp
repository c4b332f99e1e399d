#include "platform/svcmgr/svcmgr_logon.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <security/pam_appl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/uniquefd.h"

namespace {

constexpr const char* PamServiceName = "svcmgr";

bool IsLocalSystemName(const std::string& name) {
    static const char* const localSystem = "localsystem";
    if (name.size() != std::strlen(localSystem))
        return false;
    for (size_t i = 0; i < name.size(); ++i) {
        char c = name[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != localSystem[i])
            return false;
    }
    return true;
}

// Answers PAM's prompts: the password for hidden prompts, the user name for visible ones.
int Converse(int count, const pam_message** messages, pam_response** responses, void* data) {
    if (count <= 0 || count > PAM_MAX_NUM_MSG)
        return PAM_CONV_ERR;
    const auto* credentials = static_cast<const std::pair<std::string, std::string>*>(data);
    auto* replies = static_cast<pam_response*>(std::calloc(count, sizeof(pam_response)));
    if (!replies)
        return PAM_BUF_ERR;
    for (int i = 0; i < count; ++i) {
        const char* answer = nullptr;
        switch (messages[i]->msg_style) {
        case PAM_PROMPT_ECHO_OFF:
            answer = credentials->second.c_str();
            break;
        case PAM_PROMPT_ECHO_ON:
            answer = credentials->first.c_str();
            break;
        default: // information and error texts need no answer
            break;
        }
        if (answer) {
            replies[i].resp = strdup(answer);
            if (!replies[i].resp) {
                for (int j = 0; j < i; ++j)
                    std::free(replies[j].resp);
                std::free(replies);
                return PAM_BUF_ERR;
            }
        }
    }
    *responses = replies;
    return PAM_SUCCESS;
}

// PAM modules sleep after a failure to slow down guessing; only administrators may start
// services here, so the delay would only hold up the manager's answer.
void NoFailDelay(int, unsigned, void*) {}

} // namespace

TLogonAccount ParseLogonAccount(const std::string& serviceStartName) {
    std::string name = serviceStartName;
    size_t backslash = name.rfind('\\');
    if (backslash != std::string::npos)
        name = name.substr(backslash + 1);
    TLogonAccount account;
    if (name.empty() || IsLocalSystemName(name))
        return account;
    account.LocalSystem = false;
    account.UserName = name;
    return account;
}

bool CheckLogonPassword(const std::string& userName, const std::string& password,
                        std::string& why) {
    TLogonSession session;
    return session.Authenticate(userName, password, why);
}

bool CheckLogonPasswordApart(const std::string& userName, const std::string& password,
                             std::string& why, int timeoutMs) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        why = std::strerror(errno);
        return false;
    }
    TUniqueFd readEnd(fds[0]), writeEnd(fds[1]);
    pid_t child = fork();
    if (child < 0) {
        why = std::strerror(errno);
        return false;
    }
    if (child == 0) {
        // The child writes "1" or "0" and the reason, then ends without running the
        // parent's exit handlers.
        try {
            std::string reason;
            bool ok = CheckLogonPassword(userName, password, reason);
            std::string out = (ok ? "1" : "0") + reason.substr(0, 512);
            ssize_t ignored = write(writeEnd.Get(), out.data(), out.size());
            (void)ignored;
        } catch (...) {
            // Never back into the caller's loop: the child only answers.
        }
        _exit(0);
    }
    writeEnd.Reset();
    std::string answer;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd ready{readEnd.Get(), POLLIN, 0};
        int n = left.count() > 0 ? poll(&ready, 1, static_cast<int>(left.count())) : 0;
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        char buffer[600];
        ssize_t got = read(readEnd.Get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        answer.append(buffer, static_cast<size_t>(got));
    }
    kill(child, SIGKILL);
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
    if (answer.empty()) {
        why = std::strerror(ETIMEDOUT);
        return false;
    }
    why = answer.substr(1);
    return answer[0] == '1';
}

TLogonSession::~TLogonSession() {
    Close();
}

bool TLogonSession::Authenticate(const std::string& userName, const std::string& password,
                                 std::string& why) {
    Close();
    if (password.empty()) {
        why = pam_strerror(nullptr, PAM_AUTH_ERR);
        return false;
    }
    // The conversation reads the name and password from this object for as long as the
    // transaction lasts.
    conversationData_ = {userName, password};
    pam_conv conversation{Converse, &conversationData_};
    pam_handle_t* handle = nullptr;
    int result = pam_start(PamServiceName, userName.c_str(), &conversation, &handle);
    if (result != PAM_SUCCESS) {
        why = pam_strerror(handle, result);
        if (handle)
            pam_end(handle, result);
        return false;
    }
    handle_ = handle;
    pam_set_item(handle, PAM_FAIL_DELAY, reinterpret_cast<const void*>(&NoFailDelay));
    result = pam_authenticate(handle, PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK);
    if (result == PAM_SUCCESS)
        result = pam_acct_mgmt(handle, PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK);
    lastResult_ = result;
    if (result != PAM_SUCCESS) {
        why = pam_strerror(handle, result);
        Close();
        return false;
    }
    return true;
}

bool TLogonSession::OpenSession(std::string& why) {
    auto* handle = static_cast<pam_handle_t*>(handle_);
    if (!handle) {
        why = pam_strerror(nullptr, PAM_SYSTEM_ERR);
        return false;
    }
    int result = pam_setcred(handle, PAM_ESTABLISH_CRED | PAM_SILENT);
    credentialsSet_ = result == PAM_SUCCESS;
    if (result == PAM_SUCCESS)
        result = pam_open_session(handle, PAM_SILENT);
    sessionOpen_ = result == PAM_SUCCESS;
    lastResult_ = result;
    if (result != PAM_SUCCESS) {
        why = pam_strerror(handle, result);
        return false;
    }
    return true;
}

void TLogonSession::Close() {
    auto* handle = static_cast<pam_handle_t*>(handle_);
    if (!handle)
        return;
    if (sessionOpen_)
        pam_close_session(handle, PAM_SILENT);
    if (credentialsSet_)
        pam_setcred(handle, PAM_DELETE_CRED | PAM_SILENT);
    pam_end(handle, lastResult_);
    handle_ = nullptr;
    conversationData_ = {};
    sessionOpen_ = credentialsSet_ = false;
    lastResult_ = 0;
}
