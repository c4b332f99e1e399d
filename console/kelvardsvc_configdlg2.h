// The configuration dialog of the transfer console: on top of the base dialog's tracked
// directory, period and detailed logging, it edits the schedule mode and its times of day,
// the destinations, the account, the transfer type, the port, the dial-up connection and the
// transfer library's proxy, checks them, and runs the connectivity test on the settings as
// typed.
#pragma once

#include <QDialog>
#include <memory>

#include "common/trcnst.h"
#include "console/framework/basesvc_configdlg.h"

class QLineEdit;
class TTransportConfig;

namespace Ui {
class KelvoSvcConfigDlg;
}

class TKelvoSvcConfigDlg : public TBaseSvcConfigDlg {
    Q_OBJECT
public:
    // The class reference is `&TBaseSvcConfigDlg::Create<TKelvoSvcConfigDlg>`.
    TKelvoSvcConfigDlg(QWidget* Owner, TUiFacade& Ui);
    ~TKelvoSvcConfigDlg() override;

    // C must be a TTransportConfig (EConvertError otherwise).
    void ConfigToControls(TBaseFtConfig& C) override;
    // Raises with the message the user sees when the controls hold settings that cannot be
    // saved or tested; the configuration then holds the values written before the check.
    void ControlsToConfig(TBaseFtConfig& C) override;

protected:
    void FormCreate() override;

private:
    // Cleans up the typed settings and refuses the ones the service could not use.
    static void ValidateConfig(TTransportConfig& C);

    void FillLists();
    TTransferType SelectedTransport() const;
    void CbModeClick();
    void CbProxyTypeClick();
    void CbDestination1Click();
    void RbTimeModeClick();
    void CbInetConnChange();
    void UpdateControls();
    void BtnTestClick();
    void BtnBrowseDestClick(QLineEdit* Edit);
    // Gives the caption column of the page and of its panels one width, so that every field
    // starts at the same place.
    void AlignCaptionColumns();

    std::unique_ptr<::Ui::KelvoSvcConfigDlg> Form;
};
