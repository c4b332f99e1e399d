#include "console/framework/basesvc_configdlg.h"

#include <QCheckBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QSpinBox>
#include <QStatusBar>
#include <QStyle>
#include <QTabWidget>
#include <QToolButton>
#include <algorithm>
#include <exception>
#include <stdexcept>

#include "common/debuglog.h"
#include "common/inifile.h"
#include "common/langtext.h"
#include "common/strutil.h"
#include "console/framework/scwserv.h"
#include "console/framework/uifacade.h"
#include "platform/errors.h"
#include "ui_basesvc_configdlg.h"

namespace {

// A widget of the form by object name; a form without it is a programming error.
template <class T> T* FormWidget(QObject* form, const char* name) {
    T* widget = form->findChild<T*>(QString::fromLatin1(name));
    if (widget == nullptr) {
        throw std::logic_error(std::string("configuration form without ") + name);
    }
    return widget;
}

QString Q(const char* text) {
    return QString::fromUtf8(text);
}

// The period as typed: an integer brought into the spin edit's range, the minimum when the
// text is no integer (an emptied field, for instance).
int SpinEditValue(const QSpinBox* spin) {
    bool ok = false;
    int value = spin->cleanText().trimmed().toInt(&ok);
    if (!ok) {
        return spin->minimum();
    }
    return std::clamp(value, spin->minimum(), spin->maximum());
}

} // namespace

TBaseSvcConfigDlg::TBaseSvcConfigDlg(QWidget* Owner, TUiFacade& Ui, bool SetupBaseForm)
    : QDialog(Owner), Ui(Ui) {
    if (SetupBaseForm) {
        BaseForm = std::make_unique<::Ui::BaseSvcConfigDlg>();
        BaseForm->setupUi(this);
    }
}

TBaseSvcConfigDlg::~TBaseSvcConfigDlg() = default;

void TBaseSvcConfigDlg::BindBaseWidgets() {
    PgcParams = FormWidget<QTabWidget>(this, "PgcParams");
    TsGeneral = FormWidget<QWidget>(this, "TsGeneral");
    PnAcquisition = FormWidget<QWidget>(this, "PnAcquisition");
    LabCentralizationDir = FormWidget<QLabel>(this, "LabCentralizationDir");
    EdCentralizationDir = FormWidget<QLineEdit>(this, "EdCentralizationDir");
    BtnBrowseDir = FormWidget<QToolButton>(this, "BtnBrowseDir");
    LabFreq = FormWidget<QLabel>(this, "LabFreq");
    SeFreq = FormWidget<QSpinBox>(this, "SeFreq");
    LabMin = FormWidget<QLabel>(this, "LabMin");
    CbLogDetailed = FormWidget<QCheckBox>(this, "CbLogDetailed");
    BtnOK = FormWidget<QPushButton>(this, "BtnOK");
    BtnCancel = FormWidget<QPushButton>(this, "BtnCancel");
    SbMain = FormWidget<QStatusBar>(this, "SbMain");

    PgcParams->setCurrentWidget(TsGeneral);
    BtnBrowseDir->setIcon(style()->standardIcon(QStyle::SP_DirOpenIcon));
    BtnOK->setDefault(true);
    connect(BtnOK, &QPushButton::clicked, this, [this] { BtnOKClick(); });
    connect(BtnCancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(BtnBrowseDir, &QToolButton::clicked, this,
            [this] { RunGuarded(Ui, this, [this] { BtnBrowseDirClick(); }); });
}

void TBaseSvcConfigDlg::LoadCaptions() {
    setWindowTitle(Q(langtext::CfgDlgCaption));
    BtnOK->setText(Q(langtext::CfgDlgOK));
    BtnCancel->setText(Q(langtext::CfgDlgCancel));
    PgcParams->setTabText(PgcParams->indexOf(TsGeneral), Q(langtext::CfgDlgTsGeneral));
    LabCentralizationDir->setText(Q(langtext::CfgDlgLabCentralizationDir));
    SetIconButtonHint(BtnBrowseDir, Q(langtext::CfgDlgBrowseDirHint));
    LabFreq->setText(Q(langtext::CfgDlgLabFreq));
    LabMin->setText(Q(langtext::CfgDlgLabMin));
    CbLogDetailed->setText(Q(langtext::CfgDlgLogDetailed));
}

void TBaseSvcConfigDlg::FormCreate() {
    BindBaseWidgets();
    LoadCaptions();
    if (LocalConfigPath.empty()) {
        LocalConfigPath = langtext::DefaultLocalConfigFileName;
    }
    TBaseFtConfigClass makeConfig = ConfigClass ? ConfigClass : &NewFtConfig<TBaseFtConfig>;
    Config = makeConfig();
    Config->LoadFromFile(LocalConfigPath);
    ConfigToControls(*Config);
    // The folder picker shows this PC's folders; another PC's directory is typed.
    BtnBrowseDir->setVisible(RemotePc.empty());
}

void TBaseSvcConfigDlg::Validate(TBaseFtConfig&, bool& Failed) {
    Failed = false;
}

void TBaseSvcConfigDlg::ConfigToControls(TBaseFtConfig& C) {
    EdCentralizationDir->setText(QString::fromStdString(C.GetTrackDirectory(0)));
    SeFreq->setValue(C.TimeBetweenActions); // brought into the range by the spin edit
    CbLogDetailed->setChecked(C.LogDetailed);
}

void TBaseSvcConfigDlg::ControlsToConfig(TBaseFtConfig& C) {
    C.SetTrackDirectory(0, EdCentralizationDir->text().toStdString());
    C.TimeBetweenActions = SpinEditValue(SeFreq);
    C.LogDetailed = CbLogDetailed->isChecked();
}

void TBaseSvcConfigDlg::BtnOKClick() {
    try {
        ControlsToConfig(*Config);
        bool failed = false;
        Validate(*Config, failed);
        if (failed) {
            return;
        }
        SaveWorkingCopy();
        accept();
    } catch (const std::exception& e) {
        Ui.ShowInformation(this, e.what());
    }
}

void TBaseSvcConfigDlg::SaveWorkingCopy() {
    // Written here rather than through SaveToFile, which only logs a failure: the caller sends
    // the file to the service when the dialog ends with OK. TIniFile replaces the file through
    // a new file and a rename and creates it with mode 0600.
    try {
        TIniFile ini(LocalConfigPath);
        Config->SaveToIni(ini);
        ini.UpdateFile();
    } catch (const std::exception& e) {
        std::string text = Format(langtext::ErrorWritingData, LocalConfigPath.c_str(), e.what());
        DebugLog(LogError, text);
        throw Exception(text);
    }
}

void TBaseSvcConfigDlg::BtnBrowseDirClick() {
    std::string dir = EdCentralizationDir->text().toStdString();
    if (BrowseForFolder(this, langtext::CfgDlgSelectFolder, dir)) {
        EdCentralizationDir->setText(QString::fromStdString(dir));
    }
}

void TBaseSvcConfigDlg::showEvent(QShowEvent* event) {
    if (!Placed) {
        Placed = true;
        // The whole form, whatever the screen (adjustSize would stop at two thirds of it).
        setFixedSize(sizeHint());
        QScreen* screen = parentWidget() ? parentWidget()->screen() : this->screen();
        if (screen != nullptr) {
            QRect area = screen->availableGeometry();
            move(area.center() - QPoint(width() / 2, height() / 2));
        }
    }
    QDialog::showEvent(event);
}
