#include "console/framework/selectpc.h"

#include "common/langtext.h"
#include "console/framework/scwserv.h"
#include "console/framework/uifacade.h"
#include "ui_selectpc.h"

#include <QGuiApplication>
#include <QScreen>
#include <QStyle>

TSelectPcDlg::TSelectPcDlg(QWidget* Owner) : QDialog(Owner), ui_(new Ui::SelectPcDlg) {
    ui_->setupUi(this);
    connect(ui_->BtnPc, &QToolButton::clicked, this, [this] { BtnPcClick(); });
    FormCreate();
}

TSelectPcDlg::~TSelectPcDlg() = default;

std::string TSelectPcDlg::PcName() const {
    return ui_->EdPc->text().toStdString();
}

void TSelectPcDlg::SetPcName(const std::string& Name) {
    ui_->EdPc->setText(QString::fromStdString(Name));
}

void TSelectPcDlg::FormCreate() {
    LoadCaptions();
    ui_->BtnPc->setIcon(style()->standardIcon(QStyle::SP_ComputerIcon));
    FitPrompt();
    setFixedSize(size());
    // Centred on the screen (the owner's, when there is one), not over the owner.
    const QScreen* screen =
        parentWidget() ? parentWidget()->screen() : QGuiApplication::primaryScreen();
    if (screen)
        move(screen->availableGeometry().center() - rect().center());
}

void TSelectPcDlg::LoadCaptions() {
    setWindowTitle(QString::fromUtf8(langtext::SelPcCaption));
    // The table joins the prompt's sentences with a CR; a label breaks lines at LF.
    ui_->LabPrompt->setText(QString::fromUtf8(langtext::SelPcPrompt).replace('\r', '\n'));
    SetIconButtonHint(ui_->BtnPc, QString::fromUtf8(langtext::WndBtnPcHint));
    ui_->BtnOK->setText(QString::fromUtf8(langtext::SelPcOK));
    ui_->BtnCancel->setText(QString::fromUtf8(langtext::SelPcCancel));
}

// The form's places suit a small dialog font; with a larger one the prompt would lose its
// last lines. The prompt then grows and everything below it moves down by as much.
void TSelectPcDlg::FitPrompt() {
    QLabel* prompt = ui_->LabPrompt;
    const int needed = prompt->heightForWidth(prompt->width());
    const int extra = needed - prompt->height();
    if (extra <= 0)
        return;
    prompt->resize(prompt->width(), needed);
    for (QWidget* below :
         {static_cast<QWidget*>(ui_->EdPc), static_cast<QWidget*>(ui_->BtnPc),
          static_cast<QWidget*>(ui_->BtnOK), static_cast<QWidget*>(ui_->BtnCancel)})
        below->move(below->x(), below->y() + extra);
    resize(width(), height() + extra);
}

void TSelectPcDlg::BtnPcClick() {
    std::string name = PcName();
    if (BrowseForComputer(this, langtext::WndBtnPcHint, name))
        SetPcName(name);
}
