// The console's application object. An exception that leaves an event handler anywhere in the
// program ends up here and is shown in an error box titled with the application title; the
// program goes on.
#pragma once

#include <QApplication>

class QCoreApplication;
class TUiFacade;

// Loads Qt's own texts (the standard buttons of message boxes, the folder picker) in the
// language of the system's locale, from Qt's translations directory, as Qt programs do; the
// console's own texts come from the message table whatever the locale. False when Qt has no
// catalogue for that language: its texts then stay English.
bool InstallQtTranslation(QCoreApplication& Application);

class TConsoleApplication : public QApplication {
    Q_OBJECT
public:
    TConsoleApplication(int& argc, char** argv, TUiFacade& Ui);
    bool notify(QObject* receiver, QEvent* event) override;

private:
    TUiFacade& Ui;
};
