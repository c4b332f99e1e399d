// Renders the console's windows offscreen into PNG files, so that a reviewer sees what an
// administrator sees: the main window on a running transfer service with live statistics (both
// pages), the transfer configuration dialog in its modes, the base configuration dialog, the
// PC selection dialog, a finished connectivity test, and a question box and the folder picker
// with Qt's standard texts in the locale's language. Usage: console_screenshots DIR (as root: it
// runs a service manager and the transfer service in a temporary directory).
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QTabWidget>
#include <QTimer>
#include <clocale>
#include <cstdio>
#include <filesystem>
#include <iostream>

#include "common/Comserv.h"
#include "common/langtext.h"
#include "common/trconfig.h"
#include "console/framework/consoleapp.h"
#include "console/framework/scwserv.h"
#include "console/framework/selectpc.h"
#include "console/framework/uifacade.h"
#include "console/kelvardsvc_cfgmain.h"
#include "console/kelvardsvc_configdlg2.h"
#include "console/transsvc_conntest.h"
#include "platform/svcmgr/svcmgr_client.h"
#include "tests/console/support/consoletest.h"
#include "tests/support/svcmgr_fixture.h"
#include "tests/support/tempdir.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

std::string OutDir;

void Save(QWidget* widget, const std::string& name) {
    QApplication::processEvents();
    const std::string path = OutDir + "/" + name + ".png";
    if (!widget->grab().save(QString::fromStdString(path)))
        throw std::runtime_error("cannot write " + path);
    std::cout << path << "\n";
}

// Saves the modal box that `open` shows, once it is up, then closes it.
template <class Open> void SaveModal(const std::string& name, Open open) {
    QTimer::singleShot(500, [name] {
        if (auto* box = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
            Save(box, name);
            box->reject();
        }
    });
    open();
}

// A tracked directory with two shops, for the service's first job.
void MakeShops(const std::string& tracked) {
    for (const char* shop : {"PARIS01", "LYON02"}) {
        const std::string dir = tracked + "/" + shop;
        fs::create_directories(dir + "/caisse");
        fs::create_directories(dir + "/tallix");
        WriteTextFile(dir + "/shopinfo.arg", std::string("[Shop]\r\nName=") + shop + "\r\n");
        for (int i = 1; i <= 3; ++i)
            WriteTextFile(dir + "/caisse/T00" + std::to_string(i) + ".txt", "ticket\r\n");
        WriteTextFile(dir + "/tallix/COUNT.COR", "12;34\r\n");
    }
}

void Run() {
    SvcMgrInstance manager;
    const std::string root = manager.Root();
    const std::string serviceDir = root + "/KelvardSvc";
    fs::create_directories(serviceDir);
    fs::copy_file(KV_SVC_PROGRAM, serviceDir + "/kelvardsvc_w10");
    MakeShops(root + "/export");
    fs::create_directories(root + "/central");
    TTransportConfig config;
    config.TimeBetweenActions = 30;
    config.LogDetailed = true;
    config.TrackDirectory[0] = root + "/export";
    config.Destination[0] = root + "/central";
    config.SaveToFile(serviceDir + "/kelvardsvc.ini");
    TScManager::Open("", SC_MANAGER_ALL_ACCESS)
        .CreateService("KelvardSvc", "KelvardSvc", SERVICE_QUERY_STATUS,
                       serviceDir + "/kelvardsvc_w10", "", "");
    TScManager::Open("", SC_MANAGER_CONNECT).OpenService("KelvardSvc", SERVICE_ALL_ACCESS).Start();

    TScriptedUi ui;
    auto window = TSvcWndBase::CreateWindow<TMainWnd>(ui, {});
    window->SettingsFileName = "screenshots_cfg.ini";
    window->LocalConfigFileName = "screenshots_local.ini";
    window->show();
    // The first job runs 5 s after the start; its files then show as the last ones.
    auto* lastOk = window->findChild<QLabel*>("LabLastFileOkVal");
    if (!ProcessEventsUntil([&] { return !lastOk->text().isEmpty(); }, 30s))
        throw std::runtime_error("the service sent nothing: " + window->StatusText());
    ProcessEventsFor(600ms);
    Save(window.get(), "main-window");
    auto* pages = window->findChild<QTabWidget*>("PgcMain");
    pages->setCurrentIndex(1);
    Save(window.get(), "main-window-statistics");
    pages->setCurrentIndex(0);

    // The configuration dialogs on the service's own file.
    window->RequestConfiguration();
    auto dialog = TBaseSvcConfigDlg::Create<TKelvoSvcConfigDlg>(
        window.get(), ui, "", window->LocalConfigPath(), &NewFtConfig<TTransportConfig>);
    dialog->show();
    Save(dialog.get(), "transfer-configuration");
    dialog->findChild<QComboBox*>("CbTransferMode")->setCurrentText("FTP");
    Save(dialog.get(), "transfer-configuration-ftp");
    // The same dialog for an upload through a proxy: every row shows.
    dialog->findChild<QComboBox*>("CbTransferMode")->setCurrentText("FTPS");
    dialog->findChild<QComboBox*>("CbProxyType")->setCurrentText("SOCKS5");
    Save(dialog.get(), "transfer-configuration-ftps");
    dialog.reset();
    auto base = TBaseSvcConfigDlg::Create<TBaseSvcConfigDlg>(
        window.get(), ui, "", window->LocalConfigPath(), &NewFtConfig<TBaseFtConfig>);
    base->show();
    Save(base.get(), "base-configuration");
    base.reset();

    TSelectPcDlg select(window.get());
    select.SetPcName("caisse-paris01");
    select.show();
    Save(&select, "select-pc");
    select.hide();

    // A connectivity test of the service's COPY destination, to its end.
    TTransportConfig tested;
    tested.LoadFromFile(window->LocalConfigPath());
    tested.DestinationDirectory = "PARIS01";
    tested.Destination[1] = root + "/backup";
    TConnectionTestDlg test(window.get(), ui);
    test.Config = &tested;
    test.SetContinueMode(true);
    test.show();
    ProcessEventsUntil([&] { return test.windowTitle().endsWith("found"); }, 60s);
    Save(&test, "connectivity-test");
    test.hide();

    // A test that fails: an FTP destination on a port of this machine where nothing listens.
    TTransportConfig failing;
    failing.Transport = ttFtp;
    failing.Destination[0] = "127.0.0.1";
    failing.Port = 1;
    failing.Username = "shop";
    failing.Password = "secret";
    TConnectionTestDlg failed(window.get(), ui);
    failed.Config = &failing;
    failed.SetContinueMode(true);
    failed.show();
    ProcessEventsUntil([&] { return failed.windowTitle().endsWith("FOUND"); }, 60s);
    Save(&failed, "connectivity-test-errors");
    failed.hide();

    // Qt's own texts: a question of the console and the folder picker.
    TUiFacade facade;
    SaveModal("question-box", [&] { facade.AskYesNo(window.get(), langtext::AskStartService); });
    std::string folder = root;
    SaveModal("folder-picker",
              [&] { BrowseForFolder(window.get(), langtext::CfgDlgSelectFolder, folder); });

    std::remove(window->LocalConfigPath().c_str());
    std::remove(window->SettingsPath().c_str());
    window->close();
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: console_screenshots DIR\n";
        return 2;
    }
    OutDir = argv[1];
    fs::create_directories(OutDir);
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    std::setlocale(LC_ALL, "");
    QApplication application(argc, argv);
    InstallQtTranslation(application);
    QApplication::setApplicationName("Zuzedevevivove Service Statistics & Status");
    try {
        Run();
    } catch (const std::exception& e) {
        std::cerr << "console_screenshots: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
