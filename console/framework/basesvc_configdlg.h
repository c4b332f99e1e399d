// The generic configuration dialog of a service console: edits the working copy of a
// service's configuration file (the first tracked directory, the period between checks and
// detailed logging) and saves it on OK. A concrete console derives its own dialog, whose form
// holds the base widgets under the same object names plus its own, and overrides
// ConfigToControls and ControlsToConfig.
#pragma once

#include <QDialog>
#include <memory>
#include <string>

#include "common/ftconfigbase.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class QStatusBar;
class QTabWidget;
class QToolButton;
class QShowEvent;
class QWidget;
class TUiFacade;
class TBaseSvcConfigDlg;

namespace Ui {
class BaseSvcConfigDlg;
}

// Class reference of a configuration dialog: creates a dialog of the chosen class and runs
// its creation (FormCreate) with the descendant's overrides in place.
using TConfigDlgClass = std::unique_ptr<TBaseSvcConfigDlg> (*)(QWidget* Owner, TUiFacade& Ui,
                                                               const std::string& RemotePc,
                                                               const std::string& LocalConfigPath,
                                                               TBaseFtConfigClass ConfigClass);

class TBaseSvcConfigDlg : public QDialog {
    Q_OBJECT
public:
    // The virtual constructor: makes a T (which derives from this class), stores RemotePc,
    // LocalConfigPath and ConfigClass, and only then runs FormCreate, so that the creation
    // finds them and calls T's overrides. `&TBaseSvcConfigDlg::Create<T>` is T's class
    // reference.
    template <class T>
    static std::unique_ptr<TBaseSvcConfigDlg>
    Create(QWidget* Owner, TUiFacade& Ui, const std::string& RemotePc,
           const std::string& LocalConfigPath, TBaseFtConfigClass ConfigClass) {
        std::unique_ptr<TBaseSvcConfigDlg> dialog(new T(Owner, Ui));
        dialog->RemotePc = RemotePc;
        dialog->LocalConfigPath = LocalConfigPath;
        dialog->ConfigClass = ConfigClass;
        dialog->FormCreate();
        return dialog;
    }

    ~TBaseSvcConfigDlg() override;

    // Last check before saving; the base sets Failed to false.
    virtual void Validate(TBaseFtConfig& Config, bool& Failed);
    // Shows a configuration in the controls.
    virtual void ConfigToControls(TBaseFtConfig& C);
    // Writes the controls into the configuration it is given; raises (with the message the
    // user sees) when a control holds something that cannot be saved.
    virtual void ControlsToConfig(TBaseFtConfig& C);

    std::string RemotePc;
    std::string LocalConfigPath;
    TBaseFtConfigClass ConfigClass = nullptr;
    // The configuration being edited, from the creation until the dialog is destroyed.
    std::unique_ptr<TBaseFtConfig> Config;

protected:
    // With `SetupBaseForm` the dialog builds the base form; a descendant passes false and
    // builds its own form, which holds the base widgets under the same object names.
    TBaseSvcConfigDlg(QWidget* Owner, TUiFacade& Ui, bool SetupBaseForm = true);

    // Creation: captions, load of the working copy, ConfigToControls, folder button.
    virtual void FormCreate();
    void LoadCaptions();
    void BtnOKClick();
    void BtnBrowseDirClick();

    TUiFacade& Ui;

    // The base widgets, found by object name in whichever form was built.
    QTabWidget* PgcParams = nullptr;
    QWidget* TsGeneral = nullptr;
    QWidget* PnAcquisition = nullptr;
    QLabel* LabCentralizationDir = nullptr;
    QLineEdit* EdCentralizationDir = nullptr;
    QToolButton* BtnBrowseDir = nullptr;
    QLabel* LabFreq = nullptr;
    QSpinBox* SeFreq = nullptr;
    QLabel* LabMin = nullptr;
    QCheckBox* CbLogDetailed = nullptr;
    QPushButton* BtnOK = nullptr;
    QPushButton* BtnCancel = nullptr;
    QStatusBar* SbMain = nullptr;

    // On the first show: the dialog gets the fixed size of its laid-out form, centred on the
    // screen.
    void showEvent(QShowEvent* event) override;

private:
    void BindBaseWidgets();
    // Saves Config to LocalConfigPath; raises with "Error writing data to %s : %s" when the
    // file could not be written, so that the dialog can stay open.
    void SaveWorkingCopy();

    std::unique_ptr<::Ui::BaseSvcConfigDlg> BaseForm;
    bool Placed = false;
};
