#include "console/framework/consoleapp.h"

#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

#include "console/framework/uifacade.h"

bool InstallQtTranslation(QCoreApplication& Application) {
    auto* translator = new QTranslator(&Application);
    if (!translator->load(QLocale::system(), "qtbase", "_",
                          QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        delete translator;
        return false;
    }
    return QCoreApplication::installTranslator(translator);
}

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
