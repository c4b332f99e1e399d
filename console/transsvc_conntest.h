// The connectivity test: sends a small sample file to each configured destination with the
// settings being edited, the way the service would, and reports every step.
//
// The test starts by itself 100 ms after the dialog is shown and runs on the window thread;
// the report grows line by line while the window keeps painting. FTP, FTPS and SFTP use the
// service's own destination preparation and upload. COPY logs the configured user on and
// creates the target directory and writes the copy as that user (on the window thread only),
// so that the test sees what the service running under that account will see.
#pragma once

#include <QDialog>
#include <QTextCharFormat>
#include <QTimer>
#include <memory>
#include <optional>
#include <string>

#include "common/trconfig.h"
#include "common/verinfo.h"
#include "platform/impersonate.h"
#include "service/kvtransfer.h"

namespace Ui {
class ConnectionTestDlg;
}

class TUiFacade;
class TSampleFile;

class TConnectionTestDlg : public QDialog {
    Q_OBJECT
public:
    TConnectionTestDlg(QWidget* Owner, TUiFacade& Ui);
    ~TConnectionTestDlg() override;

    // The configuration under test; set by the opener, not owned.
    TTransportConfig* Config = nullptr;
    // True: the dialog offers Continue (OK) instead of its own Test button.
    void SetContinueMode(bool Value);

    // Results of the two closing buttons: BtnBack (also Escape while idle) and BtnExit.
    static constexpr int ResultNo = 7;
    static constexpr int ResultOk = QDialog::Accepted;

    // While a destination is tested the dialog cannot be left: Escape and the window's close
    // are ignored.
    void reject() override;

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    TTransferHooks TransferHooks();
    void FormCreate();
    void LoadCaptions();
    void TmrAutoStartTimer();
    void BtnTestClick();
    void BtnSendClick();

    void RunTest();
    void TestDestination();
    void WriteParameters();
    void CheckDestination();
    void OpenDestination();
    void CloseDestination() noexcept;
    void ForceTargetDirectory();
    void CheckTransfer();
    int WriteSampleFile();
    void TransferSampleFile();
    void CopySampleFile();
    void UploadSampleFile();
    void DeleteSampleFile() noexcept;
    void UpdateControls();
    void CheckCurlResult(CURLcode Code);
    void ReportError(const std::exception& e);
    // The acting as the logged-on COPY user for one step; nothing without a logon.
    std::optional<TImpersonation> ActAsUser() const;

    void ClearReport();
    void AddLine(const std::string& Text);
    void AddBoldLine(const std::string& Text);
    void AddErrorLine(const std::string& Text);
    void AddStyledLine(const std::string& Text, const QTextCharFormat& Format);
    void AppendToLastLine(const std::string& Text);
    void ProcessMessages();
    std::string ReportText() const;
    void SendReport();

    const std::string& Destination() const;
    bool IsCopy() const;

    std::unique_ptr<Ui::ConnectionTestDlg> ui_;
    TUiFacade& Ui;
    QTimer TmrAutoStart;
    bool AutoStartPending = true;
    bool ContinueMode = false;
    bool Running = false;
    bool NoErrors = true;
    int CurrentDestination = -1;
    int ReportLines = 0;
    // The COPY user while a destination is open, logged on and allowed to be acted as.
    std::optional<TUserIdentity> LogonToken;
    // The libcurl side of an upload destination (its handle is the dialog's CurlHandle).
    TDestinationTransfer Transfer;
    std::unique_ptr<TSampleFile> SampleFile;
    // The shop's directory at a COPY destination, opened by ForceTargetDirectory.
    TUniqueFd TargetDir;
    TVersionInfo VersionInfo;
};
