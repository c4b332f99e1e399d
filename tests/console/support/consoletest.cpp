#include "tests/console/support/consoletest.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPointer>
#include <QTimer>
#include <memory>

void TScriptedUi::ShowInformation(QWidget*, const std::string& text) {
    Boxes.push_back({"information", text});
    if (OnBox)
        OnBox(Boxes.back());
}

bool TScriptedUi::AskYesNo(QWidget*, const std::string& text) {
    Boxes.push_back({"question", text});
    if (OnBox)
        OnBox(Boxes.back());
    if (Answers.empty())
        return false;
    bool answer = Answers.front();
    Answers.pop_front();
    return answer;
}

void TScriptedUi::ShowError(QWidget*, const std::string& text) {
    Boxes.push_back({"error", text});
    if (OnBox)
        OnBox(Boxes.back());
}

void TScriptedUi::SetHourglass(bool on) {
    HourglassDepth += on ? 1 : -1;
    if (on)
        ++HourglassShown;
}

void TScriptedUi::RepaintNow(QWidget* widget) {
    ++Repaints;
    TUiFacade::RepaintNow(widget);
}

std::vector<std::string> TScriptedUi::Texts(const std::string& kind) const {
    std::vector<std::string> texts;
    for (const Box& box : Boxes)
        if (box.Kind == kind)
            texts.push_back(box.Text);
    return texts;
}

void WhenModalOpens(std::function<void(QDialog*)> action, std::chrono::milliseconds timeout) {
    auto timer = new QTimer(qApp);
    auto started = std::make_shared<QElapsedTimer>();
    started->start();
    auto seen = std::make_shared<QPointer<QWidget>>(QApplication::activeModalWidget());
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, [timer, started, seen, action, timeout] {
        auto* modal = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (modal && modal != seen->data() && modal->isVisible()) {
            timer->stop();
            timer->deleteLater();
            action(modal);
        } else if (started->elapsed() > timeout.count()) {
            timer->stop();
            timer->deleteLater();
        }
    });
    timer->start();
}

bool ProcessEventsUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > timeout.count())
            return condition();
        QApplication::processEvents(QEventLoop::AllEvents, 10);
        QApplication::sendPostedEvents();
    }
    return true;
}

void ProcessEventsFor(std::chrono::milliseconds duration) {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < duration.count())
        QApplication::processEvents(QEventLoop::AllEvents, 10);
}

std::chrono::milliseconds LongestHold(std::chrono::milliseconds duration) {
    QTimer probe;
    probe.setInterval(50);
    auto last = std::chrono::steady_clock::now();
    std::chrono::steady_clock::duration longest{};
    QObject::connect(&probe, &QTimer::timeout, [&] {
        auto now = std::chrono::steady_clock::now();
        longest = std::max(longest, now - last);
        last = now;
    });
    probe.start();
    ProcessEventsFor(duration);
    longest = std::max(longest, std::chrono::steady_clock::now() - last);
    return std::chrono::duration_cast<std::chrono::milliseconds>(longest);
}
