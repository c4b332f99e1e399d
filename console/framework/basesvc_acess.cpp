#include "console/framework/basesvc_acess.h"

#include <QCloseEvent>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QTimer>
#include <sys/stat.h>
#include <unistd.h>

#include "common/Comserv.h"
#include "common/inifile.h"
#include "common/langtext.h"
#include "common/strutil.h"
#include "console/framework/basesvc_format.h"
#include "console/framework/oserror.h"
#include "console/framework/selectpc.h"
#include "console/framework/statusbar.h"
#include "console/framework/svcctrl.h"
#include "console/framework/uifacade.h"
#include "platform/atomicfile.h"
#include "platform/remotepc.h"
#include "ui_basesvc_acess.h"

namespace {

constexpr int TimerIntervalMs = 500;
constexpr int LedSize = 13;

QString Q(const std::string& text) {
    return QString::fromStdString(text);
}

// An LED of the status bar: a dark disc when off, a lit green one when on.
QPixmap DrawLed(bool on) {
    QPixmap pixmap(LedSize, LedSize);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    QRadialGradient light(4.5, 4.5, 8);
    light.setColorAt(0, on ? QColor(190, 255, 170) : QColor(120, 130, 120));
    light.setColorAt(1, on ? QColor(20, 170, 30) : QColor(40, 55, 40));
    painter.setBrush(light);
    painter.setPen(QPen(QColor(30, 40, 30), 1));
    painter.drawEllipse(QRectF(0.5, 0.5, LedSize - 1, LedSize - 1));
    return pixmap;
}

// The header picture: a stack of data files on its way to a central folder.
QPixmap DrawHeaderPicture() {
    QPixmap pixmap(40, 40);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(32, 96, 168));
    painter.drawRoundedRect(QRectF(1, 1, 38, 38), 7, 7);
    painter.setBrush(QColor(235, 240, 248));
    painter.setPen(QPen(QColor(32, 96, 168), 1));
    painter.drawRect(QRectF(7, 9, 13, 17));
    painter.drawRect(QRectF(9.5, 12, 13, 17));
    QPainterPath arrow;
    arrow.moveTo(24, 18);
    arrow.lineTo(30, 18);
    arrow.lineTo(30, 14);
    arrow.lineTo(36, 21);
    arrow.lineTo(30, 28);
    arrow.lineTo(30, 24);
    arrow.lineTo(24, 24);
    arrow.closeSubpath();
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(255, 200, 40));
    painter.drawPath(arrow);
    return pixmap;
}

bool FileExistsAt(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

} // namespace

TSvcWndBase::TSvcWndBase(TUiFacade& Ui, std::vector<std::string> Arguments, QWidget* Parent)
    : QWidget(Parent), Ui(Ui), Form(std::make_unique<::Ui::SvcWndBase>()),
      Arguments_(std::move(Arguments)) {
    Form->setupUi(this);
    // The window polls from its own thread: another PC's connection must not hold it.
    SetRemotePcOpenInBackground(true);
    ImlLed = {DrawLed(false), DrawLed(true)};
    Form->ImgClient->setPixmap(DrawHeaderPicture());
    // An empty value keeps its line, so that the captions stay in place.
    for (QLabel* value : Form->TsHardware->findChildren<QLabel*>())
        if (value->objectName().endsWith("Val"))
            value->setMinimumHeight(value->fontMetrics().height());
    TmrMain = new QTimer(this);
    TmrMain->setObjectName("TmrMain");
    TmrMain->setInterval(TimerIntervalMs);
    InitStatusBar();
    ConnectHandlers();
}

TSvcWndBase::~TSvcWndBase() {
    // FormDestroy: the PC shown is kept for the next start; a failure is of no consequence.
    try {
        if (!SettingsFileName.empty())
            SaveSettings(SettingsPath());
    } catch (...) {
    }
}

void TSvcWndBase::InitStatusBar() {
    std::vector<TStatusPanel> panels(5);
    panels[0] = {"Service", 45, Qt::AlignRight, false, false};
    panels[1] = {"", 30, Qt::AlignLeft, true, false};
    panels[2] = {"Busy", 45, Qt::AlignRight, false, false};
    panels[3] = {"", 30, Qt::AlignLeft, true, false};
    panels[4] = {"", 0, Qt::AlignLeft, false, true};
    Form->SbMain->SetPanels(std::move(panels));
    Form->SbMain->OnDrawPanel = [this](QPainter& painter, const TStatusPanel* panel,
                                       const QRect& rect) {
        SbMainDrawPanel(painter, panel, rect);
    };
}

void TSvcWndBase::ConnectHandlers() {
    auto guarded = [this](void (TSvcWndBase::*handler)()) {
        return [this, handler] { RunGuarded(Ui, this, [&] { (this->*handler)(); }); };
    };
    connect(TmrMain, &QTimer::timeout, this, guarded(&TSvcWndBase::TmrMainTimer));
    connect(Form->BtnPC, &QPushButton::clicked, this, guarded(&TSvcWndBase::BtnPcClick));
    connect(Form->BtnSrvStart, &QPushButton::clicked, this,
            guarded(&TSvcWndBase::BtnSrvStartClick));
    connect(Form->BtnSrvStop, &QPushButton::clicked, this, guarded(&TSvcWndBase::BtnSrvStopClick));
    connect(Form->BtnConfigure, &QPushButton::clicked, this,
            guarded(&TSvcWndBase::BtnConfigureClick));
    connect(Form->BtnClose, &QPushButton::clicked, this, guarded(&TSvcWndBase::BtnCloseClick));
}

void TSvcWndBase::FormCreate() {
    LedServicePanel = Form->SbMain->Panel(1);
    LedBusyPanel = Form->SbMain->Panel(3);
    StatusPanel = Form->SbMain->Panel(4);
    OpenConfigOnStart = false;
    TimeOverride = 0;
    LoadCaptions();
    ClearStatistics();
    auto fill = [](std::string& field, const char* defaultValue) {
        if (field.empty())
            field = defaultValue;
    };
    fill(SettingsFileName, langtext::DefaultSettingsFileName);
    fill(ServiceName, langtext::DefaultServiceName);
    fill(LocalConfigFileName, langtext::DefaultLocalConfigFileName);
    fill(InfoPipeName, langtext::DefaultInfoPipeName);
    fill(ControlPipeName, langtext::DefaultControlPipeName);
    if (!ConfigDlgClass)
        ConfigDlgClass = &TBaseSvcConfigDlg::Create<TBaseSvcConfigDlg>;
    if (!ConfigClass)
        ConfigClass = &NewFtConfig<TBaseFtConfig>;
    // A settings file that cannot be read or created is reported, and the window opens all
    // the same (without the command line, which comes after it).
    RunGuarded(Ui, this, [this] {
        LoadSettings(SettingsPath());
        ParseCommandLine();
    });
    TmrMain->start();
}

void TSvcWndBase::LoadCaptions() {
    Form->BtnPC->setText(Q(langtext::WndBtnPc));
    Form->BtnPC->setToolTip(Q(langtext::WndBtnPcHint));
    Form->PgcMain->setTabText(Form->PgcMain->indexOf(Form->TsHardware), Q(langtext::WndTsHardware));
    Form->PgcMain->setTabText(Form->PgcMain->indexOf(Form->TsStatistics),
                              Q(langtext::WndTsStatistics));
    Form->LabLastFileOk->setText(Q(langtext::WndLastFileOk));
    Form->LabLastFileBad->setText(Q(langtext::WndLastFileBad));
    Form->LabLastGroup->setText(Q(langtext::WndLastGroup));
    Form->LabFileCheckAt->setText(Q(langtext::WndFileCheckAt));
    Form->LabLastEvtTime->setText(Q(langtext::WndLastEvtTime));
    Form->LabLastErrTime->setText(Q(langtext::WndLastErrTime));
    Form->LabVersion->setText(Q(langtext::WndVersion));
    Form->LabStartedAt->setText(Q(langtext::WndStartedAt));
    Form->LabConns->setText(Q(langtext::WndConns));
    Form->LabConErrors->setText(Q(langtext::WndConErrors));
    Form->LabReq->setText(Q(langtext::WndReq));
    Form->LabReqBytes->setText(Q(langtext::WndReqBytes));
    Form->LabAns->setText(Q(langtext::WndAns));
    Form->LabAnsBytes->setText(Q(langtext::WndAnsBytes));
    Form->LabWriteErr->setText(Q(langtext::WndWriteErr));
    Form->BtnSrvStart->setText(Q(langtext::WndBtnSrvStart));
    Form->BtnSrvStart->setToolTip(Q(langtext::WndBtnSrvStartHint));
    Form->BtnSrvStop->setText(Q(langtext::WndBtnSrvStop));
    Form->BtnSrvStop->setToolTip(Q(langtext::WndBtnSrvStopHint));
    Form->BtnConfigure->setText(Q(langtext::WndBtnConfigure));
    Form->BtnConfigure->setToolTip(Q(langtext::WndBtnConfigureHint));
    Form->BtnClose->setText(Q(langtext::WndBtnClose));
    Form->SbMain->SetPanelText(Form->SbMain->Panel(0), Q(langtext::WndPanelService));
    Form->SbMain->SetPanelText(Form->SbMain->Panel(2), Q(langtext::WndPanelBusy));
}

std::string TSvcWndBase::SettingsPath() const {
    return ProgramDir() + "/" + SettingsFileName;
}

std::string TSvcWndBase::LocalConfigPath() const {
    return ProgramDir() + "/" + LocalConfigFileName;
}

void TSvcWndBase::LoadSettings(const std::string& FileName) {
    // The program directory may be open to a service's account: a settings file that another
    // user put there does not choose the PC for this user; it is replaced by our own.
    struct stat st {};
    if (::lstat(FileName.c_str(), &st) == 0 && st.st_uid != ::geteuid()) {
        SetRemotePc("");
        ReplaceFileContents(FileName, "", 0644, TLinkRule::ReplaceLink);
        return;
    }
    TIniFile ini(FileName);
    SetRemotePc(ini.ReadString(langtext::SettingsSection, langtext::SettingsRemotePc, ""));
    // The file is written back as it was read, so a missing one now exists (empty).
    if (!FileExistsAt(FileName))
        ReplaceFileContents(FileName, "", 0644);
}

void TSvcWndBase::SaveSettings(const std::string& FileName) {
    TIniFile ini(FileName);
    ini.WriteString(langtext::SettingsSection, langtext::SettingsRemotePc, RemotePc);
    ini.UpdateFile();
}

void TSvcWndBase::ParseCommandLine() {
    TConsoleSwitches switches = ParseConsoleSwitches(Arguments_);
    OpenConfigOnStart = switches.OpenConfig;
    TimeOverride = switches.TimeOverride;
}

void TSvcWndBase::SetRemotePc(const std::string& Name) {
    RemotePc = Name;
    Form->StPcDisplayName->setText(Q(PcDisplayName()));
}

std::string TSvcWndBase::PcDisplayName() const {
    return RemotePc.empty() ? std::string(langtext::ThisPc) : RemotePc;
}

std::string TSvcWndBase::PipeRoot() const {
    return RemotePc.empty() ? std::string("\\\\.\\pipe\\") : "\\\\" + RemotePc + "\\pipe\\";
}

bool TSvcWndBase::IsConnected() const {
    return ScmHandle.IsOpen() && ServiceHandle.IsOpen();
}

bool TSvcWndBase::IsRunning() const {
    return IsConnected() && ServiceState == SERVICE_RUNNING;
}

void TSvcWndBase::SetBusy(uint8_t Value) {
    if (Value == Busy)
        return;
    Busy = Value;
    RedrawStatusBar();
}

std::string TSvcWndBase::StatusText() const {
    return StatusPanel ? StatusPanel->Text.toStdString() : std::string();
}

void TSvcWndBase::SetStatusText(const std::string& Text) {
    if (StatusPanel)
        Form->SbMain->SetPanelText(StatusPanel, Q(Text));
}

void TSvcWndBase::RedrawStatusBar() {
    Form->SbMain->update();
}

void TSvcWndBase::SbMainDrawPanel(QPainter& Painter, const TStatusPanel* Panel, const QRect& Rect) {
    int index = -1;
    if (Panel == LedServicePanel)
        index = IsRunning() ? 1 : 0;
    else if (Panel == LedBusyPanel)
        index = Busy != 0 ? 1 : 0;
    if (index < 0)
        return;
    // Drawn at the panel's left, centred in its height.
    const int top = Rect.top() + (Rect.height() - LedSize) / 2;
    Painter.drawPixmap(Rect.left() + 2, top, ImlLed[static_cast<size_t>(index)]);
}

void TSvcWndBase::CloseServiceHandles() {
    // A poll under way asked the handles being closed: it is not shown, and the next one is due.
    ++PollEpoch;
    NextPollAt = {};
    ServiceState = 0;
    ServiceHandle.Close();
    ScmHandle.Close();
}

void TSvcWndBase::UpdateButtons() {
    Form->BtnSrvStart->setEnabled(IsConnected() && !IsRunning());
    Form->BtnSrvStop->setEnabled(IsConnected() && IsRunning());
    Form->BtnConfigure->setEnabled(IsRunning());
    RedrawStatusBar();
}

void TSvcWndBase::ClearStatistics() {
    for (QLabel* label : {Form->LabVersionVal, Form->LabSartedVal, Form->LabConnsVal,
                          Form->LabConErrorsVal, Form->LabReqVal, Form->LabReqBytesVal,
                          Form->LabAnsVal, Form->LabAnsBytesVal, Form->LabWriteErrVal})
        label->clear();
    SetBusy(0);
    for (QLabel* label : {Form->LabLastFileOkVal, Form->LabLastFileOkAtVal, Form->LabLastFileBadVal,
                          Form->LabLastFileBadAtVal, Form->LabLastGroupVal, Form->LabLastGroupAtVal,
                          Form->LabLastEvtTimeVal, Form->LabLastEvtTextVal})
        label->clear();
    ClearNextCheckAndError();
}

void TSvcWndBase::ClearNextCheckAndError() {
    Form->LabNextFileCheckAtVal->clear();
    Form->LabLastErrTimeVal->clear();
    Form->LabLastErrTextVal->clear();
}

void TSvcWndBase::TmrMainTimer() {
    PollService();
    if (IsRunning() && OpenConfigOnStart) {
        OpenConfigOnStart = false;
        // Run after this tick has returned: Qt does not run a timer's handler again while it
        // is still inside it, and the ticks must go on under the dialog.
        QTimer::singleShot(0, this,
                           [this] { RunGuarded(Ui, this, [this] { EditConfiguration(); }); });
    }
}

void TSvcWndBase::closeEvent(QCloseEvent* event) {
    // FormCloseQuery: closing is always allowed.
    TmrMain->stop();
    CloseServiceHandles();
    event->accept();
}

void TSvcWndBase::BtnPcClick() {
    TmrMain->stop();
    struct RestartTimer {
        QTimer* timer;
        ~RestartTimer() { timer->start(); }
    } restart{TmrMain};
    TSelectPcDlg dialog(this);
    dialog.SetPcName(RemotePc);
    if (dialog.exec() != QDialog::Accepted)
        return;
    CloseServiceHandles();
    UpdateButtons();
    SetRemotePc(dialog.PcName());
    ClearStatistics();
}

void TSvcWndBase::BtnSrvStartClick() {
    if (!IsConnected())
        return;
    TServiceStatus status = OSCall([&] { return ServiceHandle.QueryStatus(); });
    if (status.CurrentState == SERVICE_RUNNING) {
        Ui.ShowInformation(this, langtext::AlreadyRunningOn + PcDisplayName());
        return;
    }
    THourglass hourglass(Ui);
    SetStatusText(ServiceStateText(SERVICE_START_PENDING));
    SetBusy(0);
    Ui.RepaintNow(Form->SbMain);
    StartServiceAndWait(ScmHandle, ServiceName);
    SetStatusText(ServiceStateText(SERVICE_RUNNING));
    ClearNextCheckAndError();
}

void TSvcWndBase::BtnSrvStopClick() {
    if (!IsConnected())
        return;
    TServiceStatus status = OSCall([&] { return ServiceHandle.QueryStatus(); });
    if (status.CurrentState == SERVICE_STOPPED) {
        Ui.ShowInformation(this, langtext::AlreadyStoppedOn + PcDisplayName());
        return;
    }
    THourglass hourglass(Ui);
    SetStatusText(ServiceStateText(SERVICE_STOP_PENDING));
    SetBusy(0);
    Ui.RepaintNow(Form->SbMain);
    StopServiceAndWait(ScmHandle, ServiceName);
    SetStatusText(ServiceStateText(SERVICE_STOPPED));
    Form->LabNextFileCheckAtVal->clear();
}

void TSvcWndBase::BtnConfigureClick() {
    EditConfiguration();
}

void TSvcWndBase::BtnCloseClick() {
    close();
}

void TSvcWndBase::ChangeServiceAccount(const TScManager&) {}

void TSvcWndBase::CheckServiceAccount(const TScManager&) {}
