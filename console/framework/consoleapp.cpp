#include "console/framework/consoleapp.h"

#include "console/framework/uifacade.h"

TConsoleApplication::TConsoleApplication(int& argc, char** argv, TUiFacade& Ui)
    : QApplication(argc, argv), Ui(Ui) {}

bool TConsoleApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
        HandleException(Ui, activeWindow(), e);
    }
    return false;
}
