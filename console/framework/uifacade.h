// What the console's windows ask of the user interface besides their own widgets: message
// boxes, the hourglass cursor and an immediate repaint. Windows and dialogs are handed one
// facade and use nothing else for these, so that tests can answer the boxes and see them.
#pragma once

#include <exception>
#include <string>

class QAbstractButton;
class QString;
class QWidget;

// The hint of a button that shows only an icon: its tooltip, and its accessible name, which
// screen readers say in place of the missing text.
void SetIconButtonHint(QAbstractButton* Button, const QString& Hint);

class TUiFacade {
public:
    virtual ~TUiFacade() = default;

    // An information box with one OK button.
    virtual void ShowInformation(QWidget* owner, const std::string& text);
    // A question box with the confirmation icon and the buttons Yes and No; true for Yes.
    virtual bool AskYesNo(QWidget* owner, const std::string& text);
    // An error box with one OK button.
    virtual void ShowError(QWidget* owner, const std::string& text);
    // The hourglass: each call with true is undone by one call with false.
    virtual void SetHourglass(bool on);
    // Paints `widget` at once, before the window thread blocks in a long call.
    virtual void RepaintNow(QWidget* widget);
};

// Shows the hourglass while it lives, on every path out of the scope.
class THourglass {
public:
    explicit THourglass(TUiFacade& ui) : ui_(ui) { ui_.SetHourglass(true); }
    ~THourglass() { ui_.SetHourglass(false); }
    THourglass(const THourglass&) = delete;
    THourglass& operator=(const THourglass&) = delete;

private:
    TUiFacade& ui_;
};

// The application's handler of last resort: the exception's message in an error box titled
// with the application title. The window that raised it stays usable.
void HandleException(TUiFacade& ui, QWidget* owner, const std::exception& e);

// Runs an event handler; an exception that leaves it goes to HandleException.
template <class Handler> void RunGuarded(TUiFacade& ui, QWidget* owner, Handler&& handler) {
    try {
        handler();
    } catch (const std::exception& e) {
        HandleException(ui, owner, e);
    }
}
