#include "console/kelvardsvc_cfgmain.h"

#include <QLabel>
#include <QTabWidget>
#include <cerrno>

#include "common/langtext.h"
#include "common/strutil.h"
#include "console/framework/oserror.h"
#include "console/kelvardsvc_configdlg2.h"
#include "platform/svcmgr/svcmgr_types.h"

void CheckServicePassword(const std::string& Account, const std::string& Password) {
    if (Utf8Length(Password) > MaxServicePasswordLength)
        throw Exception(Format(langtext::KvPasswordTooLong, Account.c_str()));
    for (unsigned char c : Password)
        if (c < 32 || c == 127)
            throw Exception(Format(langtext::KvPasswordControlChar, Account.c_str()));
}

TServiceAccount ServiceAccountFor(const TTransportConfig& Config) {
    const bool rootAccount = Config.Transport != ttCopy || Config.Username.empty() ||
                             SameText(Config.Username, LocalSystemAccount);
    if (rootAccount)
        return {LocalSystemAccount, ""};
    CheckServicePassword(Config.Username, Config.Password);
    return {Config.Username, Config.Password};
}

TMainWnd::TMainWnd(TUiFacade& Ui, std::vector<std::string> Arguments, QWidget* Parent)
    : TSvcWndBase(Ui, std::move(Arguments), Parent) {}

void TMainWnd::FormCreate() {
    SettingsFileName = langtext::KvSettingsFileName;
    ServiceName = langtext::KvServiceName;
    LocalConfigFileName = langtext::KvLocalConfigFileName;
    InfoPipeName = langtext::KvInfoPipeName;
    ControlPipeName = langtext::KvControlPipeName;
    ConfigDlgClass = &TBaseSvcConfigDlg::Create<TKelvoSvcConfigDlg>;
    ConfigClass = &NewFtConfig<TTransportConfig>;
    TSvcWndBase::FormCreate();
    setWindowTitle(QString::fromStdString(langtext::KvMainCaption));
    findChild<QLabel*>("LabPc")->setText(QString::fromStdString(langtext::KvLabPc));
    auto* pages = findChild<QTabWidget*>("PgcMain");
    pages->setTabText(pages->indexOf(findChild<QWidget*>("TsHardware")),
                      QString::fromStdString(langtext::KvTsHardware));
}

void TMainWnd::CheckServiceAccount(const TScManager& ScmHandle) {
    TTransportConfig config;
    config.LoadFromFile(LocalConfigPath());
    const TServiceAccount account = ServiceAccountFor(config);
    if (SameText(account.Account, LocalSystemAccount))
        return;
    TScService service = OSCall([&] {
        return ScmHandle.OpenService(ServiceName, SERVICE_CHANGE_CONFIG | SERVICE_QUERY_STATUS);
    });
    try {
        service.CheckAccount(account.Account, account.Password);
    } catch (const EOSError& e) {
        // A manager older than the check cannot make it: the start will.
        if (e.Code == EOPNOTSUPP)
            return;
        throw Exception(Format(langtext::KvAccountRefused, account.Account.c_str(),
                               PcDisplayName().c_str(), e.what()));
    }
}

void TMainWnd::ChangeServiceAccount(const TScManager& ScmHandle) {
    TTransportConfig config;
    config.LoadFromFile(LocalConfigPath());
    const TServiceAccount account = ServiceAccountFor(config);
    TScService service = OSCall([&] {
        return ScmHandle.OpenService(ServiceName, SERVICE_CHANGE_CONFIG | SERVICE_QUERY_STATUS);
    });
    OSCall([&] {
        service.ChangeConfig(nullptr, nullptr, &account.Account, &account.Password);
        return 0;
    });
}
