// Logon accounts of services. ".\LocalSystem" (or "LocalSystem", or no account) runs a
// service as root; any other account names a Unix user, with a domain part (".\" or a host
// name and "\") that is ignored. The user's password is checked through PAM (service name
// "svcmgr"; without /etc/pam.d/svcmgr the system's "other" stack applies).
#pragma once

#include <string>
#include <utility>

struct TLogonAccount {
    bool LocalSystem = true;
    std::string UserName; // empty for LocalSystem
};

TLogonAccount ParseLogonAccount(const std::string& serviceStartName);

// True when PAM accepts `password` for `userName` and lets the account log on now;
// otherwise false with the reason in `why`. Blank passwords are refused.
bool CheckLogonPassword(const std::string& userName, const std::string& password, std::string& why);

// CheckLogonPassword in a child process, so that the PAM modules' state and failures stay out
// of the caller; a check that takes longer than `timeoutMs` fails.
bool CheckLogonPasswordApart(const std::string& userName, const std::string& password,
                             std::string& why, int timeoutMs);

// The PAM side of a service's life under a user account, as a logon has it: the password is
// checked, the account's credentials established and its session opened (limits and the like
// apply to the process that opens it and its children); the session is closed again when the
// service has ended. Not copyable: PAM keeps pointers into it.
class TLogonSession {
public:
    TLogonSession() = default;
    ~TLogonSession();
    TLogonSession(const TLogonSession&) = delete;
    TLogonSession& operator=(const TLogonSession&) = delete;

    // Checks the password and whether the account may log on now; false with the reason.
    bool Authenticate(const std::string& userName, const std::string& password, std::string& why);
    // After Authenticate: establishes the credentials and opens the session.
    bool OpenSession(std::string& why);
    // Closes the session (when open) and ends the PAM transaction.
    void Close();

private:
    void* handle_ = nullptr; // pam_handle_t
    bool credentialsSet_ = false;
    bool sessionOpen_ = false;
    int lastResult_ = 0;
    std::pair<std::string, std::string> conversationData_; // user name and password
};
