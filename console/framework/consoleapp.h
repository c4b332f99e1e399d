// The console's application object. An exception that leaves an event handler anywhere in the
// program ends up here and is shown in an error box titled with the application title; the
// program goes on.
#pragma once

#include <QApplication>

class TUiFacade;

class TConsoleApplication : public QApplication {
    Q_OBJECT
public:
    TConsoleApplication(int& argc, char** argv, TUiFacade& Ui);
    bool notify(QObject* receiver, QEvent* event) override;

private:
    TUiFacade& Ui;
};
