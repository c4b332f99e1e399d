// The transfer configuration dialog on a real working copy, with the real widgets offscreen,
// a fake nmcli for the dial-up entries and the real connectivity test dialog.
#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTimer>
#include <QToolButton>
#include <arpa/inet.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "common/langtext.h"
#include "common/strutil.h"
#include "common/trconfig.h"
#include "console/kelvardsvc_configdlg2.h"
#include "console/transsvc_conntest.h"
#include "tests/console/support/consoletest.h"
#include "tests/support/fake_nmcli.h"
#include "tests/support/tempdir.h"

namespace {

using Keys = std::vector<std::pair<std::string, std::string>>;

// A working copy: [General] then [Transport] with these keys, then `tail`.
std::string Ini(const Keys& transport, const std::string& general = "",
                const std::string& tail = "") {
    std::string text = "[General]\n" + general + "[Transport]\n";
    for (const auto& [key, value] : transport)
        text += key + "=" + value + "\n";
    return text + tail;
}

// A port of 127.0.0.1 on which nothing listens.
int ClosedPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

// Closes the connectivity test as soon as it lets itself be closed.
void CloseWhenIdle(QDialog* test) {
    auto* timer = new QTimer(test);
    QObject::connect(timer, &QTimer::timeout, test, [test] {
        auto* back = test->findChild<QPushButton*>("BtnBack");
        if (back && back->isVisible() && back->isEnabled())
            back->click();
        else
            test->reject();
    });
    timer->start(50);
}

class KvConfigDlg : public ::testing::Test {
protected:
    void SetUp() override {
        savedDir_ = std::filesystem::current_path();
        std::filesystem::current_path(dir_.Path());
        nmcli_.SetState("profiles", "Modem:gsm\nWired:802-3-ethernet\nOffice VPN:vpn\n");
    }
    void TearDown() override { std::filesystem::current_path(savedDir_); }

    std::unique_ptr<TBaseSvcConfigDlg> Open(const std::string& ini,
                                            const std::string& remote = "") {
        WriteTextFile(path_, ini);
        auto dialog = TBaseSvcConfigDlg::Create<TKelvoSvcConfigDlg>(nullptr, ui_, remote, path_,
                                                                    &NewFtConfig<TTransportConfig>);
        dialog->show();
        dlg_ = dialog.get();
        return dialog;
    }
    template <class T> T* W(const char* name) { return Child<T>(dlg_, name); }
    std::string Text(const char* name) { return W<QLineEdit>(name)->text().toStdString(); }
    void Type(const char* name, const char* text) { W<QLineEdit>(name)->setText(text); }
    void Select(const char* combo, const char* item) {
        auto* box = W<QComboBox>(combo);
        int index = box->findText(QString::fromUtf8(item));
        ASSERT_GE(index, 0) << item;
        box->setCurrentIndex(index);
    }
    std::string Current(const char* combo) {
        return W<QComboBox>(combo)->currentText().toStdString();
    }
    bool Shown(const char* name) { return !W<QWidget>(name)->isHidden(); }
    bool Enabled(const char* name) { return W<QWidget>(name)->isEnabled(); }
    // Clicks OK; true when the dialog saved and closed.
    bool Ok() {
        W<QPushButton>("BtnOK")->click();
        return dlg_->result() == QDialog::Accepted && !dlg_->isVisible();
    }
    std::unique_ptr<TTransportConfig> Saved() {
        auto config = std::make_unique<TTransportConfig>();
        config->LoadFromFile(path_);
        return config;
    }
    std::vector<std::string> Infos() {
        auto texts = ui_.Texts("information");
        ui_.Boxes.clear();
        return texts;
    }

    TempDir dir_;
    FakeNmcli nmcli_{dir_.Path()};
    TScriptedUi ui_;
    std::string path_ = dir_.File("kelvardsvc_local.ini");
    QDialog* dlg_ = nullptr;
    std::filesystem::path savedDir_;
};

TEST_F(KvConfigDlg, CopyOpensAsCopyAndIsSavedWithTheAccountRules) {
    auto dialog = Open(Ini({{"Transport", "COPY"},
                            {"Destination0", "\"  /mnt/backup  \""},
                            {"Username", "bob"},
                            {"Password", " pw "},
                            {"Port", "2121"},
                            {"Connection", "Modem"},
                            {"CurlProxy", "SOCKS5"}}));
    EXPECT_EQ(W<QComboBox>("CbTransferMode")->itemText(0).toStdString(), "FTP");
    EXPECT_EQ(Current("CbTransferMode"), "COPY");
    EXPECT_EQ(W<QLabel>("LabUser")->text().toStdString(), langtext::KvCfgLabServiceAccount);
    EXPECT_FALSE(Shown("PnFtp"));
    EXPECT_TRUE(Shown("BtnBrowseDest0"));
    ASSERT_TRUE(Ok());
    auto saved = Saved();
    EXPECT_EQ(saved->Transport, ttCopy);
    EXPECT_EQ(saved->GetDestination(0), "  /mnt/backup  "); // a folder: kept as typed
    EXPECT_EQ(saved->Username, ".\\bob");
    EXPECT_EQ(saved->Password, "pw");
    // The upload settings, hidden for COPY, are kept.
    EXPECT_EQ(saved->Port, 2121);
    EXPECT_EQ(saved->Connection, "Modem");
    EXPECT_EQ(saved->CurlProxy, "SOCKS5");

    struct Account {
        std::string user, password, savedUser, savedPassword;
    };
    const std::string longest(64, 'p');
    const Account accounts[] = {
        {"", "secret", ".\\LocalSystem", ""},
        {"\\carol", "x", ".\\carol", "x"},
        {".\\localsystem", std::string(80, 'p'), ".\\localsystem", ""},
        {"CORP\\dave", "  ", "CORP\\dave", ""}, // no password needed
        {"erin", longest, ".\\erin", longest},
    };
    for (const Account& a : accounts) {
        SCOPED_TRACE(a.user);
        dialog = Open(Ini({{"Transport", "COPY"}, {"Username", a.user}}));
        Type("EdPassword", a.password.c_str());
        ASSERT_TRUE(Ok());
        EXPECT_EQ(Saved()->Username, a.savedUser);
        EXPECT_EQ(Saved()->Password, a.savedPassword);
    }

    // A password the service manager would cut is refused before anything is saved.
    const std::string original = Ini({{"Transport", "COPY"}, {"Username", "bob"}});
    dialog = Open(original);
    Type("EdPassword", std::string(65, 'p').c_str());
    EXPECT_FALSE(Ok());
    EXPECT_EQ(Infos(), std::vector<std::string>{Format(langtext::KvPasswordTooLong, ".\\bob")});
    EXPECT_EQ(ReadTextFile(path_), original);

    // On another PC there is no folder picker; an upload kind shows its own controls.
    dialog = Open(original, "PC2");
    EXPECT_FALSE(Shown("BtnBrowseDest0"));
    Select("CbTransferMode", "SFTP");
    EXPECT_EQ(W<QLabel>("LabUser")->text().toStdString(), langtext::KvCfgLabUser);
    EXPECT_TRUE(Shown("PnFtp"));
}

// Switching the mode shows or hides the upload and proxy rows below the mode; the rows above
// keep their places, the dialog its width, and no empty room is left where rows went. Every
// button that shows only an icon tells screen readers what it does.
TEST_F(KvConfigDlg, RowsKeepTheirPlacesAcrossModesAndHiddenRowsLeaveNoRoom) {
    auto dialog = Open(Ini({{"Transport", "COPY"}, {"Destination0", "/mnt/central"}}));
    auto layout = [&] {
        QApplication::processEvents();
        std::vector<int> places{dlg_->width()};
        for (const char* row : {"LabDestination0", "EdDestination", "CbDestination1",
                                "EdDestination1", "LabUser", "LabPassword", "LabTransferMode"})
            places.push_back(W<QWidget>(row)->mapTo(dlg_, QPoint(0, 0)).y());
        return places;
    };
    // The room between the last row shown and the detailed-log switch below it.
    auto gapBelow = [&](const char* lastRow) {
        QWidget* last = W<QWidget>(lastRow);
        return W<QWidget>("CbLogDetailed")->mapTo(dlg_, QPoint(0, 0)).y() -
               last->mapTo(dlg_, QPoint(0, last->height())).y();
    };
    const std::vector<int> copy = layout();
    const int rowHeight = W<QWidget>("EdUser")->height();
    EXPECT_LT(gapBelow("PnTransferMode"), 2 * rowHeight);
    for (const char* mode : {"FTP", "SFTP", "COPY"}) {
        SCOPED_TRACE(mode);
        Select("CbTransferMode", mode);
        EXPECT_EQ(layout(), copy);
    }
    Select("CbTransferMode", "FTPS");
    Select("CbProxyType", "HTTP");
    EXPECT_EQ(layout(), copy);
    EXPECT_LT(gapBelow("PnFtp"), 2 * rowHeight);
    Select("CbProxyType", "<none>");
    EXPECT_EQ(layout(), copy);
    EXPECT_LT(gapBelow("PnFtp"), 2 * rowHeight);

    Select("CbTransferMode", "COPY");
    for (QAbstractButton* button : dlg_->findChildren<QAbstractButton*>()) {
        if (!button->text().isEmpty() || button->icon().isNull())
            continue;
        EXPECT_FALSE(button->toolTip().isEmpty()) << button->objectName().toStdString();
        EXPECT_EQ(button->accessibleName(), button->toolTip())
            << button->objectName().toStdString();
    }
}

TEST_F(KvConfigDlg, UploadSettingsAreCleanedUpCheckedAndTheRestCarriedThrough) {
    const std::string original =
        Ini({{"Transport", "ftps"},
             {"Destination0", "\"  ftp.example.org  \""},
             {"Destination1", "backup.example.org"},
             {"DestinationDirectory", "shop42"},
             {"Username", ".\\alice"},
             {"Password", "old"},
             {"PassiveMode", "1"},
             {"ProxyType", "USER-PASS"}},
            "TimeBetweenActions=500\n", "[Transfer]\nHeatmap=1\nScb=0\n[FTP]\nHost=legacy\n");
    auto dialog = Open(original);
    EXPECT_EQ(Current("CbTransferMode"), "FTPS");
    EXPECT_EQ(W<QSpinBox>("SeFreq")->value(), 240);
    EXPECT_FALSE(Shown("BtnBrowseDest0"));
    EXPECT_TRUE(W<QCheckBox>("CbDestination1")->isChecked());
    EXPECT_TRUE(Enabled("EdDestination1"));

    W<QCheckBox>("CbDestination1")->setChecked(false);
    EXPECT_FALSE(Enabled("EdDestination1"));
    EXPECT_EQ(Text("EdDestination1"), "backup.example.org"); // greyed, text kept
    Type("EdPort", "abc");
    Type("EdProxyPort", "80x");
    Type("EdPassword", " \t ");
    EXPECT_FALSE(Ok());
    EXPECT_EQ(Infos(), std::vector<std::string>{langtext::KvCfgWrongPassword});
    EXPECT_EQ(ReadTextFile(path_), original);

    Type("EdPassword", " s3cret ");
    ASSERT_TRUE(Ok());
    auto saved = Saved();
    EXPECT_EQ(saved->Transport, ttFtps);
    EXPECT_EQ(saved->TimeBetweenActions, 240);
    EXPECT_EQ(saved->GetDestination(0), "ftp.example.org");
    EXPECT_EQ(saved->GetDestination(1), "");
    EXPECT_EQ(saved->Username, "alice");
    EXPECT_EQ(saved->Password, "s3cret");
    EXPECT_EQ(saved->Port, 21);
    EXPECT_EQ(saved->ProxyPort, 8021);
    // Settings without a visible control go through unchanged.
    EXPECT_EQ(saved->DestinationDirectory, "shop42");
    EXPECT_TRUE(saved->PassiveMode);
    EXPECT_EQ(saved->ProxyType, ptUserPass);
    EXPECT_TRUE(saved->Heatmap);
    EXPECT_FALSE(saved->Scb);
    EXPECT_NE(ReadTextFile(path_).find("[FTP]\nHost=legacy\n"), std::string::npos);

    dialog = Open(Ini({{"Transport", "SFTP"}, {"Password", "p"}}, "TimeBetweenActions=1\n"));
    EXPECT_EQ(W<QSpinBox>("SeFreq")->value(), 2);
    ASSERT_TRUE(Ok());
    EXPECT_EQ(Saved()->TimeBetweenActions, 2);
}

TEST_F(KvConfigDlg, DialUpAndProxyListsKeepWhatTheyCannotShow) {
    auto dialog = Open(Ini({{"Transport", "FTP"},
                            {"Password", "p"},
                            {"Connection", "Remote Link"},
                            {"DisconnDelay", "15"},
                            {"CurlProxy", "socks5h"}}));
    auto* connections = W<QComboBox>("CbInetConn");
    ASSERT_GE(connections->count(), 3);
    EXPECT_EQ(connections->itemText(0).toStdString(), langtext::KvCfgDefaultConnection);
    EXPECT_EQ(connections->itemText(1).toStdString(), "Modem");
    EXPECT_EQ(connections->itemText(2).toStdString(), "Office VPN");
    EXPECT_EQ(Current("CbInetConn"), "Remote Link"); // another PC's entry
    EXPECT_EQ(Current("CbDisconnDelay"), "15");
    EXPECT_TRUE(Enabled("CbDisconnDelay"));
    EXPECT_EQ(Current("CbProxyType"), "SOCKS5H");
    EXPECT_TRUE(Shown("PnProxy"));
    ASSERT_TRUE(Ok());
    EXPECT_EQ(Saved()->Connection, "Remote Link");
    EXPECT_EQ(Saved()->DisconnDelay, 15);
    EXPECT_EQ(Saved()->CurlProxy, "SOCKS5H");

    dialog = Open(Ini({{"Transport", "FTP"},
                       {"Password", "p"},
                       {"Connection", "modem"},
                       {"DisconnDelay", "7"},
                       {"CurlProxy", "bogus"}}));
    EXPECT_EQ(Current("CbInetConn"), "Modem");
    EXPECT_EQ(Current("CbDisconnDelay"), "0");
    EXPECT_EQ(Current("CbProxyType"), langtext::KvCfgNoProxy);
    EXPECT_FALSE(Shown("PnProxy"));
    ASSERT_TRUE(Ok());
    EXPECT_EQ(Saved()->Connection, "Modem");
    EXPECT_EQ(Saved()->DisconnDelay, 0);
    EXPECT_EQ(Saved()->CurlProxy, "");

    // Back to no dial-up: the delay is disabled and saved as 0 whatever it shows.
    dialog = Open(Ini({{"Transport", "FTP"},
                       {"Password", "p"},
                       {"Connection", "Office VPN"},
                       {"DisconnDelay", "30"}}));
    W<QComboBox>("CbInetConn")->setCurrentIndex(0);
    EXPECT_FALSE(Enabled("CbDisconnDelay"));
    EXPECT_FALSE(Enabled("LabMin2"));
    EXPECT_EQ(Current("CbDisconnDelay"), "30");
    Select("CbProxyType", "HTTP");
    EXPECT_TRUE(Shown("PnProxy"));
    ASSERT_TRUE(Ok());
    EXPECT_EQ(Saved()->Connection, "");
    EXPECT_EQ(Saved()->DisconnDelay, 0);
    EXPECT_EQ(Saved()->CurlProxy, "HTTP");

    // A phonebook that cannot be read leaves the default, and the stored entry stays.
    nmcli_.SetState("exit_all", "2");
    dialog = Open(Ini({{"Transport", "FTP"}, {"Password", "p"}, {"Connection", "Modem"}}));
    EXPECT_EQ(W<QComboBox>("CbInetConn")->count(), 2);
    ASSERT_TRUE(Ok());
    EXPECT_EQ(Saved()->Connection, "Modem");
}

TEST_F(KvConfigDlg, TimeModesEnableTheirControlsAndCheckTheTimes) {
    const Keys ftp = {{"Transport", "FTP"}, {"Password", "p"}};
    auto dialog = Open(Ini(ftp));
    EXPECT_TRUE(Enabled("SeFreq"));
    EXPECT_TRUE(Enabled("LabMin"));
    EXPECT_FALSE(Enabled("EdExactTimes"));
    Type("EdExactTimes", "7h00"); // parsed in regular mode too
    EXPECT_FALSE(Ok());
    EXPECT_EQ(Infos(), std::vector<std::string>{Format(langtext::WrongTimeValue, "7h00")});

    dialog = Open(Ini(ftp, "ExactTimeMode=1\nExactTime=19:30 07:00\n"));
    EXPECT_TRUE(W<QRadioButton>("RbExactTime")->isChecked());
    EXPECT_FALSE(Enabled("SeFreq"));
    EXPECT_TRUE(Enabled("EdExactTimes"));
    EXPECT_EQ(Text("EdExactTimes"), "07:00 19:30");
    Type("EdExactTimes", "  ");
    EXPECT_FALSE(Ok());
    EXPECT_EQ(Infos(), std::vector<std::string>{langtext::KvCfgTimeNotDefined});
    Type("EdExactTimes", "18:30 07:00");
    ASSERT_TRUE(Ok());
    EXPECT_TRUE(Saved()->ExactTimeMode);
    EXPECT_EQ(Saved()->ExactTime.GetText(), "07:00 18:30");

    dialog = Open(Ini(ftp, "ExactTimeMode=1\n"));
    W<QRadioButton>("RbRegular")->click();
    EXPECT_TRUE(Enabled("SeFreq"));
    EXPECT_FALSE(Enabled("EdExactTimes"));
    Type("EdExactTimes", "");
    ASSERT_TRUE(Ok()); // an empty list does not matter in regular mode
    EXPECT_FALSE(Saved()->ExactTimeMode);
}

TEST_F(KvConfigDlg, TestRunsOnTheTypedValuesAndChangesNothing) {
    const std::string original = Ini({{"Transport", "FTP"},
                                      {"Destination0", "127.0.0.1"},
                                      {"Port", std::to_string(ClosedPort())},
                                      {"Username", "stored"},
                                      {"Password", "stored"}});
    auto dialog = Open(original);

    // A check that fails stops the test before it opens, through the error box.
    bool opened = false;
    WhenModalOpens([&](QDialog* d) { opened = true, d->reject(); }, std::chrono::milliseconds(300));
    Type("EdPassword", " ");
    W<QPushButton>("BtnTest")->click();
    ProcessEventsFor(std::chrono::milliseconds(400));
    EXPECT_FALSE(opened);
    EXPECT_EQ(ui_.Texts("error"), std::vector<std::string>{langtext::KvCfgWrongPassword});

    Type("EdUser", ".\\tester");
    Type("EdPassword", " typed ");
    std::string testedUser, testedPassword;
    const TTransportConfig* tested = nullptr;
    WhenModalOpens([&](QDialog* d) {
        auto* test = qobject_cast<TConnectionTestDlg*>(d);
        ASSERT_NE(test, nullptr);
        tested = test->Config;
        testedUser = test->Config->Username;
        testedPassword = test->Config->Password;
        CloseWhenIdle(d);
    });
    W<QPushButton>("BtnTest")->click();
    EXPECT_EQ(testedUser, "tester");
    EXPECT_EQ(testedPassword, "typed");
    EXPECT_NE(tested, dialog->Config.get());

    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(dynamic_cast<TTransportConfig&>(*dialog->Config).Username, "stored");
    EXPECT_EQ(ReadTextFile(path_), original);
    EXPECT_EQ(Text("EdUser"), ".\\tester");
    ASSERT_TRUE(Ok());
    EXPECT_EQ(Saved()->Username, "tester");
    EXPECT_EQ(Saved()->Password, "typed");
}

} // namespace
