// Logon accounts of services. ".\LocalSystem" (or "LocalSystem", or no account) runs a
// service as root; any other account names a Unix user, with a domain part (".\" or a host
// name and "\") that is ignored. The user's password is checked through PAM (service name
// "svcmgr"; without /etc/pam.d/svcmgr the system's "other" stack applies).
#pragma once

#include <string>

struct TLogonAccount {
    bool LocalSystem = true;
    std::string UserName; // empty for LocalSystem
};

TLogonAccount ParseLogonAccount(const std::string& serviceStartName);

// True when PAM accepts `password` for `userName` and lets the account log on now;
// otherwise false with the reason in `why`. Blank passwords are refused.
bool CheckLogonPassword(const std::string& userName, const std::string& password, std::string& why);
