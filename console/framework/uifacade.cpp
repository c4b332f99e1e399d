#include "console/framework/uifacade.h"

#include <QApplication>
#include <QGuiApplication>
#include <QMessageBox>
#include <QWidget>

namespace {

QString Title() {
    QString title = QGuiApplication::applicationDisplayName();
    return title.isEmpty() ? QCoreApplication::applicationName() : title;
}

} // namespace

void TUiFacade::ShowInformation(QWidget* owner, const std::string& text) {
    QMessageBox::information(owner, Title(), QString::fromStdString(text), QMessageBox::Ok);
}

bool TUiFacade::AskYesNo(QWidget* owner, const std::string& text) {
    return QMessageBox::question(owner, Title(), QString::fromStdString(text),
                                 QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}

void TUiFacade::ShowError(QWidget* owner, const std::string& text) {
    QMessageBox::critical(owner, Title(), QString::fromStdString(text), QMessageBox::Ok);
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
