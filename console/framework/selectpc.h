// The dialog in which the administrator types or picks the PC whose service the console
// shows; an empty name means this PC.
#pragma once

#include <QDialog>
#include <memory>
#include <string>

namespace Ui {
class SelectPcDlg;
}

class TSelectPcDlg : public QDialog {
    Q_OBJECT
public:
    explicit TSelectPcDlg(QWidget* Owner);
    ~TSelectPcDlg() override;

    // The text of the name edit, neither trimmed nor checked.
    std::string PcName() const;
    void SetPcName(const std::string& Name);

private:
    void FormCreate();
    void LoadCaptions();
    void BtnPcClick();
    void FitPrompt();

    std::unique_ptr<Ui::SelectPcDlg> ui_;
};
