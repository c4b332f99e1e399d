#include "console/kelvardsvc_cfgmain.h"

#include <QLabel>
#include <QTabWidget>

#include "common/langtext.h"
#include "common/strutil.h"
#include "console/framework/oserror.h"
#include "console/kelvardsvc_configdlg2.h"
#include "platform/svcmgr/svcmgr_types.h"

TServiceAccount ServiceAccountFor(const TTransportConfig& Config) {
    const bool rootAccount = Config.Transport != ttCopy || Config.Username.empty() ||
                             SameText(Config.Username, LocalSystemAccount);
    if (rootAccount)
        return {LocalSystemAccount, ""};
    if (Config.Password.size() > MaxServicePasswordLength)
        throw Exception(Format(langtext::KvPasswordTooLong, Config.Username.c_str()));
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
