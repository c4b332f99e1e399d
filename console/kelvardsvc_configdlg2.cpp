#include "console/kelvardsvc_configdlg2.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QStyle>
#include <QToolButton>
#include <algorithm>
#include <string>
#include <vector>

#include "common/inifile.h"
#include "common/langtext.h"
#include "common/rasserv.h"
#include "common/strutil.h"
#include "common/trconfig.h"
#include "console/framework/scwserv.h"
#include "console/framework/uifacade.h"
#include "console/kelvardsvc_cfgmain.h"
#include "console/transsvc_conntest.h"
#include "platform/errors.h"
#include "ui_kelvardsvc_configdlg2.h"

namespace {

QString Q(const char* text) {
    return QString::fromUtf8(text);
}

QString Q(const std::string& text) {
    return QString::fromStdString(text);
}

std::string S(const QString& text) {
    return text.toStdString();
}

TTransportConfig& AsTransport(TBaseFtConfig& C) {
    auto* config = dynamic_cast<TTransportConfig*>(&C);
    if (config == nullptr) {
        throw EConvertError(langtext::WrongConfigObject);
    }
    return *config;
}

// The item whose text equals `text` without regard to case, searched from `from`; -1 when
// there is none.
int FindItem(const QComboBox* box, const std::string& text, int from = 0) {
    QString wanted = Q(text);
    for (int i = from; i < box->count(); ++i) {
        if (box->itemText(i).compare(wanted, Qt::CaseInsensitive) == 0) {
            return i;
        }
    }
    return -1;
}

// The integer of an edit's text, `fallback` when the text is no integer.
int32_t IntegerOr(const QLineEdit* edit, int32_t fallback) {
    int32_t value = 0;
    return IniTextToInt(Trim(S(edit->text())), value) ? value : fallback;
}

bool StartsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

void RetainSizeWhenHidden(QWidget* widget) {
    QSizePolicy policy = widget->sizePolicy();
    policy.setRetainSizeWhenHidden(true);
    widget->setSizePolicy(policy);
}

} // namespace

TKelvoSvcConfigDlg::TKelvoSvcConfigDlg(QWidget* Owner, TUiFacade& Ui)
    : TBaseSvcConfigDlg(Owner, Ui, false), Form(std::make_unique<::Ui::KelvoSvcConfigDlg>()) {
    Form->setupUi(this);

    // The upload and proxy rows leave no room behind when they go: the dialog takes the size
    // of what it shows (its layout fixes it). The folder buttons, shown for COPY only, keep
    // theirs, so that the destination rows have one height in every mode.
    RetainSizeWhenHidden(Form->BtnBrowseDest0);
    RetainSizeWhenHidden(Form->BtnBrowseDest1);
    QIcon folder = style()->standardIcon(QStyle::SP_DirOpenIcon);
    Form->BtnBrowseDest0->setIcon(folder);
    Form->BtnBrowseDest1->setIcon(folder);
    // An unused second destination is painted like a button face, its text kept.
    QPalette palette = Form->EdDestination1->palette();
    palette.setColor(QPalette::Disabled, QPalette::Base,
                     palette.color(QPalette::Active, QPalette::Button));
    Form->EdDestination1->setPalette(palette);

    connect(Form->CbTransferMode, &QComboBox::currentIndexChanged, this, [this] { CbModeClick(); });
    connect(Form->CbProxyType, &QComboBox::currentIndexChanged, this,
            [this] { CbProxyTypeClick(); });
    connect(Form->CbInetConn, &QComboBox::currentIndexChanged, this,
            [this] { CbInetConnChange(); });
    connect(Form->CbDestination1, &QCheckBox::toggled, this, [this] { CbDestination1Click(); });
    connect(Form->RbRegular, &QRadioButton::toggled, this, [this] { RbTimeModeClick(); });
    connect(Form->RbExactTime, &QRadioButton::toggled, this, [this] { RbTimeModeClick(); });
    connect(Form->BtnTest, &QPushButton::clicked, this,
            [this] { RunGuarded(this->Ui, this, [this] { BtnTestClick(); }); });
    connect(Form->BtnBrowseDest0, &QToolButton::clicked, this, [this] {
        RunGuarded(this->Ui, this, [this] { BtnBrowseDestClick(Form->EdDestination); });
    });
    connect(Form->BtnBrowseDest1, &QToolButton::clicked, this, [this] {
        RunGuarded(this->Ui, this, [this] { BtnBrowseDestClick(Form->EdDestination1); });
    });
}

TKelvoSvcConfigDlg::~TKelvoSvcConfigDlg() = default;

void TKelvoSvcConfigDlg::FormCreate() {
    TBaseSvcConfigDlg::FormCreate();
    Form->LabCentralizationDir->setText(Q(langtext::KvCfgLabCentralizationDir));
    SetIconButtonHint(Form->BtnBrowseDir, Q(langtext::KvCfgBrowseDirHint));
    Form->RbExactTime->setText(Q(langtext::KvCfgRbExactTime));
    Form->LabDest->setText(Q(langtext::KvCfgLabDest));
    Form->LabDestination0->setText(Q(langtext::KvCfgLabDestination0));
    Form->CbDestination1->setText(Q(langtext::KvCfgCbDestination1));
    Form->LabShop->setText(Q(langtext::KvCfgLabShop));
    Form->LabPassword->setText(Q(langtext::KvCfgLabPassword));
    Form->CbPassive->setText(Q(langtext::KvCfgCbPassive));
    Form->LabInetConn->setText(Q(langtext::KvCfgLabInetConn));
    Form->LabInetDisconnDelay->setText(Q(langtext::KvCfgLabInetDisconnDelay));
    Form->LabProxyType->setText(Q(langtext::KvCfgLabProxyType));
    SetIconButtonHint(Form->BtnBrowseDest0, Q(langtext::KvCfgBrowseDestHint));
    SetIconButtonHint(Form->BtnBrowseDest1, Q(langtext::KvCfgBrowseDestHint));
    AlignCaptionColumns();
}

void TKelvoSvcConfigDlg::FillLists() {
    std::vector<std::string> entries;
    ListDialUpEntries(entries); // an unreadable phonebook leaves the list empty
    Form->CbInetConn->clear();
    Form->CbInetConn->addItem(Q(langtext::KvCfgDefaultConnection));
    for (const std::string& entry : entries) {
        Form->CbInetConn->addItem(Q(entry));
    }

    Form->CbProxyType->clear();
    Form->CbProxyType->addItem(Q(langtext::KvCfgNoProxy));
    for (const char* kind : langtext::KvCfgCurlProxies) {
        Form->CbProxyType->addItem(Q(kind));
    }

    Form->CbTransferMode->clear();
    for (TTransferType type : {ttFtp, ttFtps, ttSftp, ttCopy}) {
        Form->CbTransferMode->addItem(Q(TransferTypeToName(type)));
    }
}

void TKelvoSvcConfigDlg::ConfigToControls(TBaseFtConfig& Base) {
    TBaseSvcConfigDlg::ConfigToControls(Base);
    TTransportConfig& C = AsTransport(Base);
    FillLists();

    Form->EdExactTimes->setText(Q(C.ExactTime.GetLocalText()));
    (C.ExactTimeMode ? Form->RbExactTime : Form->RbRegular)->setChecked(true);
    RbTimeModeClick();

    Form->EdDestination->setText(Q(C.GetDestination(0)));
    Form->CbDestination1->setChecked(!C.GetDestination(1).empty());
    Form->EdDestination1->setText(Q(C.GetDestination(1)));
    Form->EdDestDir->setText(Q(C.DestinationDirectory));
    Form->EdUser->setText(Q(C.Username));
    Form->EdPassword->setText(Q(C.Password));

    Form->CbTransferMode->setCurrentIndex(
        std::max(0, FindItem(Form->CbTransferMode, TransferTypeToName(C.Transport))));

    // A connection that this PC does not know (the service runs elsewhere, or the entry was
    // removed) is offered as it is, so that saving does not turn the dial-up off.
    int connection = FindItem(Form->CbInetConn, C.Connection, 1);
    if (connection < 0 && !C.Connection.empty()) {
        Form->CbInetConn->addItem(Q(C.Connection));
        connection = Form->CbInetConn->count() - 1;
    }
    Form->CbInetConn->setCurrentIndex(std::max(0, connection));
    CbInetConnChange();
    Form->CbDisconnDelay->setCurrentIndex(
        std::max(0, Form->CbDisconnDelay->findText(QString::number(C.DisconnDelay))));

    Form->EdPort->setText(QString::number(C.Port));
    Form->CbPassive->setChecked(C.PassiveMode);

    Form->CbProxyType->setCurrentIndex(std::max(0, FindItem(Form->CbProxyType, C.CurlProxy, 1)));
    CbProxyTypeClick();
    Form->EdProxyHost->setText(Q(C.ProxyHost));
    Form->EdProxyPort->setText(QString::number(C.ProxyPort));
    Form->EdProxyUser->setText(Q(C.ProxyUser));
    Form->EdProxyPassword->setText(Q(C.ProxyPassword));

    UpdateControls();
}

void TKelvoSvcConfigDlg::ControlsToConfig(TBaseFtConfig& Base) {
    TBaseSvcConfigDlg::ControlsToConfig(Base);
    TTransportConfig& C = AsTransport(Base);

    // Parsed in both modes: a bad time is refused even when the period is used.
    C.ExactTime.SetLocalText(S(Form->EdExactTimes->text()));
    C.ExactTimeMode = Form->RbExactTime->isChecked();

    C.SetDestination(0, S(Form->EdDestination->text()));
    C.SetDestination(1, Form->CbDestination1->isChecked() ? S(Form->EdDestination1->text()) : "");
    C.DestinationDirectory = S(Form->EdDestDir->text());
    C.Username = S(Form->EdUser->text());
    C.Password = S(Form->EdPassword->text());
    C.Transport = SelectedTransport();

    // Without a dial-up connection there is nothing to hang up, whatever the delay list shows.
    bool dialUp = Form->CbInetConn->currentIndex() > 0;
    C.Connection = dialUp ? S(Form->CbInetConn->currentText()) : "";
    C.DisconnDelay = dialUp && Form->CbDisconnDelay->currentIndex() > 0
                         ? Form->CbDisconnDelay->currentText().toInt()
                         : 0;

    C.Port = IntegerOr(Form->EdPort, DefaultFtpPort);
    C.PassiveMode = Form->CbPassive->isChecked();
    C.ProxyHost = S(Form->EdProxyHost->text());
    C.ProxyPort = IntegerOr(Form->EdProxyPort, DefaultProxyPort);
    C.ProxyUser = S(Form->EdProxyUser->text());
    C.ProxyPassword = S(Form->EdProxyPassword->text());
    C.CurlProxy = Form->CbProxyType->currentIndex() > 0 ? S(Form->CbProxyType->currentText()) : "";

    ValidateConfig(C);
}

void TKelvoSvcConfigDlg::ValidateConfig(TTransportConfig& C) {
    if (C.ExactTimeMode && C.ExactTime.Count() == 0) {
        throw Exception(langtext::KvCfgTimeNotDefined);
    }
    C.Username = Trim(C.Username);
    C.Password = Trim(C.Password);
    C.ProxyUser = Trim(C.ProxyUser);
    C.ProxyPassword = Trim(C.ProxyPassword);

    if (C.Transport != ttCopy) {
        // An upload logs in with a plain user name; the host is typed without blanks.
        C.SetDestination(0, Trim(C.GetDestination(0)));
        if (StartsWith(C.Username, ".\\")) {
            C.Username.erase(0, 2);
        }
        if (C.Password.empty()) {
            throw Exception(langtext::KvCfgWrongPassword);
        }
        return;
    }

    // COPY: the user is the account the service runs under, written as "DOMAIN\user" with "."
    // for this PC; the destination is a directory and is kept as typed.
    if (C.Username.empty()) {
        C.Username = langtext::KvCfgLocalSystem;
    }
    if (C.Username.find('\\') == std::string::npos) {
        C.Username = ".\\" + C.Username;
    }
    if (StartsWith(C.Username, "\\")) {
        C.Username = "." + C.Username;
    }
    if (SameText(C.Username, langtext::KvCfgLocalSystem)) {
        C.Password.clear();
    } else {
        // The service manager would refuse it or keep only its start, and the service could
        // not log on.
        CheckServicePassword(C.Username, C.Password);
    }
}

TTransferType TKelvoSvcConfigDlg::SelectedTransport() const {
    const QComboBox* box = Form->CbTransferMode;
    QString name = box->currentIndex() >= 0 ? box->currentText() : box->itemText(0);
    return TransferTypeFromName(S(name));
}

void TKelvoSvcConfigDlg::CbModeClick() {
    UpdateControls();
}

void TKelvoSvcConfigDlg::CbDestination1Click() {
    UpdateControls();
}

void TKelvoSvcConfigDlg::CbProxyTypeClick() {
    Form->PnProxy->setVisible(Form->CbProxyType->currentIndex() > 0);
}

void TKelvoSvcConfigDlg::RbTimeModeClick() {
    bool regular = Form->RbRegular->isChecked();
    Form->SeFreq->setEnabled(regular);
    Form->LabMin->setEnabled(regular);
    Form->EdExactTimes->setEnabled(!regular);
}

void TKelvoSvcConfigDlg::CbInetConnChange() {
    bool dialUp = Form->CbInetConn->currentIndex() > 0;
    Form->LabInetDisconnDelay->setEnabled(dialUp);
    Form->CbDisconnDelay->setEnabled(dialUp);
    Form->LabMin2->setEnabled(dialUp);
}

void TKelvoSvcConfigDlg::UpdateControls() {
    bool copy = SelectedTransport() == ttCopy;
    bool second = Form->CbDestination1->isChecked();
    Form->EdDestination1->setEnabled(second);
    // Port, dial-up and proxy serve the uploads only; their values are kept for COPY.
    Form->PnFtp->setVisible(!copy);
    Form->LabUser->setText(Q(copy ? langtext::KvCfgLabServiceAccount : langtext::KvCfgLabUser));
    // A COPY destination is a folder; the picker shows this PC's folders only.
    bool browse = copy && RemotePc.empty();
    Form->BtnBrowseDest0->setVisible(browse);
    Form->BtnBrowseDest1->setVisible(browse);
    Form->BtnBrowseDest1->setEnabled(second);
    AlignCaptionColumns();
}

void TKelvoSvcConfigDlg::AlignCaptionColumns() {
    const std::vector<QGridLayout*> grids = {Form->LayAcquisition, Form->LayTransferMode,
                                             Form->LayFtp, Form->LayProxy};
    int width = 0;
    for (QGridLayout* grid : grids) {
        for (int i = 0; i < grid->count(); ++i) {
            int row = 0, column = 0, rowSpan = 0, columnSpan = 0;
            grid->getItemPosition(i, &row, &column, &rowSpan, &columnSpan);
            QLayoutItem* item = grid->itemAt(i);
            if (column == 0 && columnSpan == 1 && !item->isEmpty()) {
                // A layout of widgets never shown yet keeps the size it had before their
                // captions were set.
                if (QLayout* inner = item->layout()) {
                    inner->invalidate();
                }
                width = std::max(width, item->sizeHint().width());
            }
        }
    }
    for (QGridLayout* grid : grids) {
        grid->setColumnMinimumWidth(0, width);
    }
    // The dialog keeps one width whichever rows show: that of the widest panel, shown or not.
    Form->PnTransferMode->setMinimumWidth(
        std::max(Form->LayFtp->sizeHint().width(), Form->LayProxy->sizeHint().width()));
    // A hidden panel does not pass a new size on to the layout that holds it by itself.
    for (QWidget* panel : {Form->PnProxy, Form->PnFtp, Form->PnTransferMode}) {
        panel->updateGeometry();
    }
}

void TKelvoSvcConfigDlg::BtnTestClick() {
    // The test runs on the settings as typed; the dialog's own configuration and the working
    // copy stay as they are.
    TTransportConfig config;
    ControlsToConfig(config);
    TConnectionTestDlg test(this, this->Ui);
    test.Config = &config;
    test.SetContinueMode(false);
    test.exec();
}

void TKelvoSvcConfigDlg::BtnBrowseDestClick(QLineEdit* Edit) {
    std::string dir = S(Edit->text());
    if (BrowseForFolder(this, langtext::CfgDlgSelectFolder, dir)) {
        Edit->setText(Q(dir));
    }
}
