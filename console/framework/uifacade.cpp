#include "console/framework/uifacade.h"

#include <QAbstractButton>
#include <QApplication>
#include <QGuiApplication>
#include <QMessageBox>
#include <QWidget>

namespace {

// The application title (its name: a display name would be appended to every window title).
QString Title() {
    return QCoreApplication::applicationName();
}

// A message's text for a box: a lone CR, as the message table has it, is a line break too.
QString BoxText(const std::string& text) {
    QString box = QString::fromStdString(text);
    box.replace("\r\n", "\n");
    box.replace('\r', '\n');
    return box;
}

} // namespace

void SetIconButtonHint(QAbstractButton* Button, const QString& Hint) {
    Button->setToolTip(Hint);
    Button->setAccessibleName(Hint);
}

void TUiFacade::ShowInformation(QWidget* owner, const std::string& text) {
    QMessageBox::information(owner, Title(), BoxText(text), QMessageBox::Ok);
}

bool TUiFacade::AskYesNo(QWidget* owner, const std::string& text) {
    return QMessageBox::question(owner, Title(), BoxText(text),
                                 QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}

void TUiFacade::ShowError(QWidget* owner, const std::string& text) {
    QMessageBox::critical(owner, Title(), BoxText(text), QMessageBox::Ok);
}

void TUiFacade::SetHourglass(bool on) {
    if (on)
        QApplication::setOverrideCursor(Qt::WaitCursor);
    else
        QApplication::restoreOverrideCursor();
}

void TUiFacade::RepaintNow(QWidget* widget) {
    if (widget)
        widget->repaint();
}

void HandleException(TUiFacade& ui, QWidget* owner, const std::exception& e) {
    ui.ShowError(owner, e.what());
}
