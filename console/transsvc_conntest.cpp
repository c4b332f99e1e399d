#include "console/transsvc_conntest.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFontDatabase>
#include <QScreen>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

#include "common/Comserv.h"
#include "common/datetime.h"
#include "common/debuglog.h"
#include "common/langtext.h"
#include "common/strutil.h"
#include "console/framework/oserror.h"
#include "console/framework/scwserv.h"
#include "console/framework/uifacade.h"
#include "platform/atomicfile.h"
#include "platform/errors.h"
#include "platform/svcmgr/svcmgr_logon.h"
#include "platform/uniquefd.h"
#include "ui_transsvc_conntest.h"

namespace {

constexpr int kAutoStartDelayMs = 100;
// Report data lines stand behind four spaces, the echoed transfer log behind eight.
const std::string kIndent = "    ";
const std::string kLogIndent = "        ";

std::string NowText() {
    return FormatDateTime("c", Now());
}

} // namespace

// "smaple.dat" in the current directory. The console runs as root in a directory that others
// may write to, so the name is only ever opened as a regular file of its own (no symbolic link
// is followed, no second name is accepted), and at the end the name is removed only while it
// still leads to the file written here.
class TSampleFile {
public:
    explicit TSampleFile(std::string name) : name_(std::move(name)) {}

    // Creates or empties the file and writes `content`. Throws EOSError with the file's name
    // and the system's text.
    void Write(const std::string& content) {
        TUniqueFd fd(open(name_.c_str(),
                          O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644));
        if (!fd)
            Fail(errno);
        struct stat st {};
        if (fstat(fd.Get(), &st) != 0)
            Fail(errno);
        if (!S_ISREG(st.st_mode))
            Fail(S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
        // A hard link would make this program write into a file that has another name too.
        if (st.st_nlink > 1)
            Fail(EMLINK);
        fd_ = std::move(fd);
        written_ = true;
        dev_ = st.st_dev;
        ino_ = st.st_ino;
        if (ftruncate(fd_.Get(), 0) != 0)
            Fail(errno);
        size_t done = 0;
        while (done < content.size()) {
            ssize_t put = pwrite(fd_.Get(), content.data() + done, content.size() - done,
                                 static_cast<off_t>(done));
            if (put < 0 && errno == EINTR)
                continue;
            if (put <= 0)
                Fail(put < 0 ? errno : EIO);
            done += static_cast<size_t>(put);
        }
    }

    // The whole file as written, read through the handle of the write.
    std::string Read() const {
        std::string content;
        char buffer[4096];
        off_t offset = 0;
        for (;;) {
            ssize_t got = pread(fd_.Get(), buffer, sizeof buffer, offset);
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0)
                Fail(errno);
            if (got == 0)
                return content;
            content.append(buffer, static_cast<size_t>(got));
            offset += got;
        }
    }

    // A path that opens the very file written, whatever its name leads to by then.
    std::string HandlePath() const { return "/proc/self/fd/" + std::to_string(fd_.Get()); }

    // Removes the name when it still leads to the file written here.
    void Remove() noexcept {
        if (!written_)
            return;
        struct stat st {};
        if (lstat(name_.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_dev == dev_ &&
            st.st_ino == ino_)
            unlink(name_.c_str());
        fd_.Reset();
        written_ = false;
    }

private:
    [[noreturn]] void Fail(int code) const {
        throw EOSError(code, name_ + ": " + SysErrorMessage(code));
    }

    std::string name_;
    TUniqueFd fd_;
    bool written_ = false;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
};

TConnectionTestDlg::TConnectionTestDlg(QWidget* Owner, TUiFacade& Ui)
    : QDialog(Owner), ui_(std::make_unique<Ui::ConnectionTestDlg>()), Ui(Ui),
      Transfer(TransferHooks()),
      SampleFile(std::make_unique<TSampleFile>(langtext::ConnTestSampleFileName)) {
    ui_->setupUi(this);
    // A caption without any title-bar button: the dialog is left through its own buttons.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    connect(ui_->BtnTest, &QPushButton::clicked, this,
            [this] { RunGuarded(this->Ui, this, [this] { BtnTestClick(); }); });
    connect(ui_->BtnSend, &QPushButton::clicked, this,
            [this] { RunGuarded(this->Ui, this, [this] { BtnSendClick(); }); });
    connect(ui_->BtnBack, &QPushButton::clicked, this, [this] { done(ResultNo); });
    connect(ui_->BtnExit, &QPushButton::clicked, this, [this] { done(ResultOk); });
    connect(&TmrAutoStart, &QTimer::timeout, this,
            [this] { RunGuarded(this->Ui, this, [this] { TmrAutoStartTimer(); }); });
    FormCreate();
}

TConnectionTestDlg::~TConnectionTestDlg() {
    CloseDestination();
    DeleteSampleFile();
}

// What the service's transfer reports goes into the report: every option's result through
// CheckCurlResult, the verbose log's lines behind eight spaces, its own errors in red.
TTransferHooks TConnectionTestDlg::TransferHooks() {
    TTransferHooks hooks;
    hooks.Log = [this](int level, const std::string& text) {
        if (level >= LogError)
            AddErrorLine(text);
        else
            AddLine(text);
    };
    hooks.OptionResult = [this](CURLcode code) { CheckCurlResult(code); };
    hooks.DetailedLogLine = [this](const std::string& line) { AddLine(kLogIndent + line); };
    return hooks;
}

void TConnectionTestDlg::FormCreate() {
    Transfer.DetailedLogPath = ProgramDir() + "/" + langtext::ConnTestDetailedLogFileName;
    Transfer.DetailedLogAlways = true;
    Transfer.ShowConnectionDetails = false;

    ContinueMode = false;
    Running = false;
    NoErrors = true;
    CurrentDestination = -1;
    LoadCaptions();
    ui_->ReResult->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    if (QScreen* screen = this->screen())
        move(screen->availableGeometry().center() - rect().center());
    TmrAutoStart.setInterval(kAutoStartDelayMs);
    TmrAutoStart.setSingleShot(true);
}

void TConnectionTestDlg::LoadCaptions() {
    setWindowTitle(QString::fromUtf8(langtext::ConnTestCaption));
    ui_->BtnTest->setText(QString::fromUtf8(langtext::ConnTestBtnTest));
    ui_->BtnSend->setText(QString::fromUtf8(langtext::ConnTestBtnSend));
    ui_->BtnBack->setText(QString::fromUtf8(langtext::ConnTestBtnBack));
    ui_->BtnExit->setText(QString::fromUtf8(langtext::ConnTestBtnContinue));
}

void TConnectionTestDlg::SetContinueMode(bool Value) {
    ContinueMode = Value;
}

void TConnectionTestDlg::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    // The test starts once, shortly after the dialog is first on the screen.
    if (AutoStartPending) {
        AutoStartPending = false;
        TmrAutoStart.start();
    }
}

void TConnectionTestDlg::reject() {
    if (Running)
        return;
    done(ResultNo);
}

void TConnectionTestDlg::closeEvent(QCloseEvent* event) {
    if (Running) {
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

void TConnectionTestDlg::TmrAutoStartTimer() {
    TmrAutoStart.stop();
    UpdateControls();
    BtnTestClick();
}

void TConnectionTestDlg::BtnTestClick() {
    if (!Config)
        throw Exception(langtext::ConnTestConfigUndefined);
    RunTest();
}

void TConnectionTestDlg::BtnSendClick() {
    SendReport();
}

// ---- the run ----

void TConnectionTestDlg::RunTest() {
    NoErrors = true;
    Running = true;
    CurrentDestination = -1;
    CloseDestination();
    ClearReport();
    UpdateControls();
    ProcessMessages();
    try {
        WriteParameters();
        for (int index = 0; index < 2; ++index) {
            if (Config->GetDestination(index).empty())
                continue;
            CurrentDestination = index;
            Running = true;
            UpdateControls();
            CloseDestination();
            TestDestination();
            Running = false;
            UpdateControls();
        }
    } catch (...) {
        Running = false;
        UpdateControls();
        throw;
    }
    // Also when no destination is set: the buttons work again.
    Running = false;
    UpdateControls();
}

void TConnectionTestDlg::ReportError(const std::exception& e) {
    NoErrors = false;
    AddErrorLine(kIndent + e.what());
}

// One destination: its preparation, target directory and transfer. A failed preparation
// skips the rest; a failed directory still lets the transfer be tried. Whatever happens, the
// logon or the libcurl handle of the destination is released at its end.
void TConnectionTestDlg::TestDestination() {
    struct CloseAtEnd {
        TConnectionTestDlg* Dlg;
        ~CloseAtEnd() { Dlg->CloseDestination(); }
    } closeAtEnd{this};
    AddLine("");
    try {
        CheckDestination();
    } catch (const std::exception& e) {
        ReportError(e);
        return;
    }
    UpdateControls();
    AddLine("");
    try {
        ForceTargetDirectory();
    } catch (const std::exception& e) {
        ReportError(e);
    }
    UpdateControls();
    ProcessMessages();
    AddLine("");
    try {
        CheckTransfer();
    } catch (const std::exception& e) {
        ReportError(e);
    }
    UpdateControls();
}

void TConnectionTestDlg::WriteParameters() {
    const TTransportConfig& config = *Config;
    AddBoldLine(langtext::ConnTestParameters);
    AddLine(kIndent + Format(langtext::ConnTestTracks, config.TrackDirectory[0].c_str()));
    AddLine(kIndent + langtext::ConnTestTransferMode + TransferTypeToName(config.Transport));
    AddLine(kIndent + langtext::ConnTestDestination + config.GetDestination(0));
    if (!config.GetDestination(1).empty())
        AddLine(kIndent + langtext::ConnTestDestination2 + config.GetDestination(1));
    AddLine(kIndent + langtext::ConnTestForShop + config.DestinationDirectory);
    AddLine(kIndent + langtext::ConnTestForUser + config.Username);
    AddLine(kIndent + langtext::ConnTestWithPassword + config.Password);
    if (IsCopy())
        return;
    AddLine(kIndent + langtext::ConnTestFtpMode +
            (config.PassiveMode ? langtext::ConnTestPassive : langtext::ConnTestActive));
    AddLine(kIndent + langtext::ConnTestFtpPort + std::to_string(config.Port));
    if (config.ProxyType == ptNone) {
        AddLine(kIndent + langtext::ConnTestProxyType + langtext::ConnTestProxyNone);
        return;
    }
    AddLine(kIndent + langtext::ConnTestProxyHost + config.ProxyHost);
    AddLine(kIndent + langtext::ConnTestProxyPort + std::to_string(config.ProxyPort));
    AddLine(kIndent + langtext::ConnTestProxyType + ProxyTypeToName(config.ProxyType));
    AddLine(kIndent + langtext::ConnTestProxyUser + config.ProxyUser);
    AddLine(kIndent + langtext::ConnTestProxyPassword + config.ProxyPassword);
}

void TConnectionTestDlg::CheckDestination() {
    if (IsCopy())
        AddBoldLine(Format(langtext::ConnTestCheckDestination, Destination().c_str()));
    OpenDestination();
}

void TConnectionTestDlg::OpenDestination() {
    if (!IsCopy()) {
        // The service's own preparation: the same libcurl start, handle and options.
        Transfer.Prepare(*Config, CurrentDestination);
        return;
    }
    // No account or the local system account: the test runs as the console itself (root),
    // as the service will. The domain part plays no part on this system.
    std::string domain, user;
    SplitDomainUser(Config->Username, domain, user);
    if (ParseLogonAccount(user).LocalSystem)
        return;
    std::string why;
    if (!CheckLogonPassword(user, Config->Password, why))
        throw Exception(
            Format(langtext::ConnTestLoginFailed, Config->Username.c_str(), why.c_str()));
    try {
        TUserIdentity identity = LookUpUser(user);
        // A trial: a switch that the system refuses shows here, before the destination is used.
        TImpersonation trial(identity);
        LogonToken = std::move(identity);
    } catch (const EOSError& e) {
        throw Exception(
            Format(langtext::ConnTestImpersonateFailed, Config->Username.c_str(), e.what()));
    }
}

void TConnectionTestDlg::CloseDestination() noexcept {
    LogonToken.reset();
    Transfer.Finish();
}

std::optional<TImpersonation> TConnectionTestDlg::ActAsUser() const {
    if (!LogonToken)
        return std::nullopt;
    try {
        return std::optional<TImpersonation>(std::in_place, *LogonToken);
    } catch (const EOSError& e) {
        throw Exception(
            Format(langtext::ConnTestImpersonateFailed, Config->Username.c_str(), e.what()));
    }
}

void TConnectionTestDlg::ForceTargetDirectory() {
    TargetDir.Reset();
    if (!IsCopy())
        return;
    auto asUser = ActAsUser();
    // Made and entered level by level without following links below the destination, as the
    // service does: a link in the shop's sub-path leads nowhere else.
    TargetDir = Transfer.OpenDestinationDir(Destination(), Config->DestinationDirectory);
}

void TConnectionTestDlg::CheckTransfer() {
    AddBoldLine(Format(langtext::ConnTestCheckingTransfer, Destination().c_str()));
    int size = WriteSampleFile();
    AddLine(kIndent + Format(langtext::ConnTestTransferring, size));
    TransferSampleFile();
    AppendToLastLine(kIndent + langtext::ConnTestOk);
}

int TConnectionTestDlg::WriteSampleFile() {
    std::string content = Format(langtext::ConnTestSampleText, VersionInfo.Major(),
                                 VersionInfo.Minor(), VersionInfo.Release(), NowText().c_str());
    SampleFile->Write(content);
    return static_cast<int>(content.size());
}

void TConnectionTestDlg::TransferSampleFile() {
    if (IsCopy())
        CopySampleFile();
    else
        UploadSampleFile();
}

// The copy goes to a temporary file beside the target and is renamed over it, so that a link
// planted under the target's name is replaced, never followed. Directory, copy and removal
// are done as the configured user; the sample is read as the console.
void TConnectionTestDlg::CopySampleFile() {
    const std::string content = SampleFile->Read();
    auto asUser = ActAsUser();
    try {
        // A directory that could not be made leaves nothing to copy into.
        if (!TargetDir)
            throw OSErrorFromErrno(ENOENT);
        TAtomicFile copy(TargetDir.Get(), langtext::ConnTestSampleFileName, 0644, true);
        copy.Write(content.data(), content.size());
        copy.Commit();
    } catch (const EOSError& e) {
        throw ConsoleOSError(e);
    }
    unlinkat(TargetDir.Get(), langtext::ConnTestSampleFileName, 0);
}

// The sample goes into the login directory of the account: "/" of an FTP address is that
// directory, an SFTP address names it "/~/".
void TConnectionTestDlg::UploadSampleFile() {
    const std::string subPath = Config->Transport == ttSftp ? "~" : "";
    Transfer.Upload(SampleFile->HandlePath(), subPath, langtext::ConnTestSampleFileName);
}

void TConnectionTestDlg::DeleteSampleFile() noexcept {
    SampleFile->Remove();
}

void TConnectionTestDlg::UpdateControls() {
    for (QPushButton* button : {ui_->BtnTest, ui_->BtnExit, ui_->BtnBack, ui_->BtnSend})
        button->setEnabled(!Running);
    ui_->BtnTest->setVisible(!ContinueMode);
    ui_->BtnExit->setVisible(ContinueMode);
    ui_->BtnExit->setText(QString::fromUtf8(NoErrors ? langtext::ConnTestBtnContinue
                                                     : langtext::ConnTestBtnContinueErrors));
    std::string caption = langtext::ConnTestCaption;
    if (CurrentDestination >= 0)
        caption += langtext::ConnTestSeparator + Destination();
    if (Running)
        caption += langtext::ConnTestInProgress;
    else
        caption += NoErrors ? langtext::ConnTestNoErrors : langtext::ConnTestErrorsFound;
    setWindowTitle(QString::fromStdString(caption));
}

void TConnectionTestDlg::CheckCurlResult(CURLcode Code) {
    if (Code != CURLE_OK)
        AddErrorLine(CurlErrorText(Code));
}

// ---- the report ----

void TConnectionTestDlg::ClearReport() {
    ui_->ReResult->clear();
    ui_->ReResult->setCurrentCharFormat(QTextCharFormat());
    ReportLines = 0;
}

void TConnectionTestDlg::AddLine(const std::string& Text) {
    AddStyledLine(Text, QTextCharFormat());
}

void TConnectionTestDlg::AddBoldLine(const std::string& Text) {
    QTextCharFormat format;
    format.setFontWeight(QFont::Bold);
    AddStyledLine(Text, format);
}

void TConnectionTestDlg::AddErrorLine(const std::string& Text) {
    QTextCharFormat format;
    format.setForeground(QColor(255, 0, 0));
    AddStyledLine(Text, format);
}

// Each line is a paragraph of its own, in its own style; the next one starts from the
// default again. A line break inside the text (an operating-system error's text) starts
// another paragraph in the same style.
void TConnectionTestDlg::AddStyledLine(const std::string& Text, const QTextCharFormat& Format) {
    QString text = QString::fromStdString(Text);
    text.replace(QLatin1String("\r\n"), QLatin1String("\n")).replace('\r', '\n');
    QTextCursor cursor(ui_->ReResult->document());
    cursor.movePosition(QTextCursor::End);
    if (ReportLines > 0)
        cursor.insertBlock(QTextBlockFormat(), Format);
    else
        cursor.setBlockCharFormat(Format);
    cursor.insertText(text, Format);
    ReportLines += 1 + static_cast<int>(text.count('\n'));
    ui_->ReResult->verticalScrollBar()->setValue(ui_->ReResult->verticalScrollBar()->maximum());
    ProcessMessages();
}

void TConnectionTestDlg::AppendToLastLine(const std::string& Text) {
    if (ReportLines == 0)
        return;
    QTextCursor cursor(ui_->ReResult->document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(QString::fromStdString(Text), QTextCharFormat());
    ProcessMessages();
}

void TConnectionTestDlg::ProcessMessages() {
    QCoreApplication::processEvents();
}

std::string TConnectionTestDlg::ReportText() const {
    std::string text;
    for (QTextBlock block = ui_->ReResult->document()->begin(); block.isValid();
         block = block.next()) {
        if (ReportLines == 0)
            break;
        text += block.text().toStdString() + "\r\n";
    }
    return text;
}

void TConnectionTestDlg::SendReport() {
    std::string version = Format(langtext::VersionNumbers, VersionInfo.Major(), VersionInfo.Minor(),
                                 VersionInfo.Release());
    std::string body = Format(langtext::ConnTestReportTitle, NowText().c_str()) + "\r\n" +
                       Format(langtext::ConnTestReportGenerated, version.c_str()) + "\r\n\r\n" +
                       ReportText();
    SendMail(langtext::ConnTestReportAddress, "", langtext::ConnTestReportSubject, body, "");
}

// ---- helpers ----

const std::string& TConnectionTestDlg::Destination() const {
    return Config->GetDestination(CurrentDestination);
}

bool TConnectionTestDlg::IsCopy() const {
    return Config->Transport == ttCopy;
}
