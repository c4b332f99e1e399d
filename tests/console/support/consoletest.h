// What the console's tests share: a user-interface facade that records the message boxes and
// answers the questions, a way to act on the next modal dialog, and waiting with the event
// loop running. Tests run the real widgets offscreen (QT_QPA_PLATFORM=offscreen, set by the
// tests' main before the application is made).
#pragma once

#include <QDialog>
#include <chrono>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "console/framework/uifacade.h"

class TScriptedUi : public TUiFacade {
public:
    struct Box {
        std::string Kind; // "information", "question", "error"
        std::string Text;
    };

    void ShowInformation(QWidget* owner, const std::string& text) override;
    // Answers with the first of Answers (removed), or No when none is left.
    bool AskYesNo(QWidget* owner, const std::string& text) override;
    void ShowError(QWidget* owner, const std::string& text) override;
    void SetHourglass(bool on) override;
    void RepaintNow(QWidget* widget) override;

    // The texts of the boxes of one kind, in order.
    std::vector<std::string> Texts(const std::string& kind) const;

    std::vector<Box> Boxes;
    std::deque<bool> Answers;
    int HourglassDepth = 0; // shown now when above 0
    int HourglassShown = 0; // how often it was shown
    int Repaints = 0;
    // Runs at each box, after it was recorded (for example to look at the window then).
    std::function<void(const Box&)> OnBox;
};

// Runs `action` on the next modal dialog that becomes active, from inside its own event loop.
// Polls every 10 ms for at most `timeout`; the action runs once.
void WhenModalOpens(std::function<void(QDialog*)> action,
                    std::chrono::milliseconds timeout = std::chrono::seconds(20));

// Runs the event loop until `condition` holds or `timeout` passes; returns the condition.
bool ProcessEventsUntil(const std::function<bool()>& condition,
                        std::chrono::milliseconds timeout = std::chrono::seconds(20));

// Runs the event loop for `duration`.
void ProcessEventsFor(std::chrono::milliseconds duration);

// Runs the event loop for `duration` with a 50 ms timer beside the windows; returns the longest
// time between two of its ticks, that is how long the event loop was held.
std::chrono::milliseconds LongestHold(std::chrono::milliseconds duration);

// The child of `parent` of that object name and type; fails the test when there is none.
template <class T> T* Child(QObject* parent, const char* name) {
    T* child = parent->findChild<T*>(QString::fromLatin1(name));
    if (!child)
        throw std::runtime_error(std::string("no child widget ") + name);
    return child;
}
