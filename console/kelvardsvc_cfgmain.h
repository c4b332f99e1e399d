// The transfer console's main window: the console window bound to the transfer service (its
// names, pipes, configuration dialog and configuration class), which sets the account the
// service logs on with after each configuration change.
#pragma once

#include <string>
#include <vector>

#include "common/trconfig.h"
#include "console/framework/basesvc_acess.h"

class TMainWnd : public TSvcWndBase {
    Q_OBJECT
public:
    TMainWnd(TUiFacade& Ui, std::vector<std::string> Arguments, QWidget* Parent = nullptr);

    void FormCreate() override;
    // Sets the service's logon account from the working copy that was sent.
    void ChangeServiceAccount(const TScManager& ScmHandle) override;
    // Has the service's PC check that account and its password before the restart.
    void CheckServiceAccount(const TScManager& ScmHandle) override;
};

// The logon account of the transfer service for a configuration: the root account with an
// empty password for the upload kinds and for COPY without a user or with the root account's
// name; else the configured user and password. A password longer than the manager keeps (64
// characters, not bytes) or holding a control character raises, since the service could not
// log on with it.
struct TServiceAccount {
    std::string Account;
    std::string Password;
};
TServiceAccount ServiceAccountFor(const TTransportConfig& Config);

// Raises when the manager could not log the service on with `Password`.
void CheckServicePassword(const std::string& Account, const std::string& Password);

// The longest password the service manager keeps for a logon account.
constexpr size_t MaxServicePasswordLength = 64;
