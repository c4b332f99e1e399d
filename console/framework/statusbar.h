// A status bar of fixed panels, as the console window has it: text panels and owner-drawn
// panels (the window paints its LEDs there), the last panel taking the rest of the width.
#pragma once

#include <QString>
#include <QWidget>
#include <functional>
#include <vector>

class QPainter;

struct TStatusPanel {
    QString Text;
    int Width = 50; // pixels; the last panel takes the rest of the bar
    Qt::Alignment Alignment = Qt::AlignLeft;
    bool OwnerDraw = false;
    bool Bevel = false;
};

class TPanelStatusBar : public QWidget {
    Q_OBJECT
public:
    explicit TPanelStatusBar(QWidget* parent = nullptr);

    // Replaces the panels.
    void SetPanels(std::vector<TStatusPanel> panels);
    int PanelCount() const { return static_cast<int>(panels_.size()); }
    TStatusPanel* Panel(int index) { return &panels_.at(static_cast<size_t>(index)); }
    const TStatusPanel* Panel(int index) const { return &panels_.at(static_cast<size_t>(index)); }
    // Sets a panel's text and schedules a repaint.
    void SetPanelText(TStatusPanel* panel, const QString& text);
    // Where a panel lies in the bar.
    QRect PanelRect(const TStatusPanel* panel) const;
    // The tooltip of a text panel: its whole text when the panel shows it cut (a long
    // operating-system error, a remote PC's message), otherwise empty.
    QString PanelToolTip(const TStatusPanel* panel) const;

    // Paints an owner-drawn panel: the painter, the panel and its rectangle.
    std::function<void(QPainter&, const TStatusPanel*, const QRect&)> OnDrawPanel;

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    bool event(QEvent* event) override;

private:
    // The text as the panel shows it, cut with "..." where it does not fit.
    QString ShownText(const TStatusPanel& panel) const;

    std::vector<TStatusPanel> panels_;
};
