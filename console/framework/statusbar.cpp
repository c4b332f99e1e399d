#include "console/framework/statusbar.h"

#include <QHelpEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOption>
#include <QToolTip>

namespace {

constexpr int TextMargin = 4;

// One line: a message with line breaks (an operating-system error) reads on.
QString OneLine(QString text) {
    return text.replace("\r\n", " ").replace('\r', ' ').replace('\n', ' ');
}

} // namespace

TPanelStatusBar::TPanelStatusBar(QWidget* parent) : QWidget(parent) {
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void TPanelStatusBar::SetPanels(std::vector<TStatusPanel> panels) {
    panels_ = std::move(panels);
    update();
}

void TPanelStatusBar::SetPanelText(TStatusPanel* panel, const QString& text) {
    if (panel->Text == text)
        return;
    panel->Text = text;
    update();
}

QRect TPanelStatusBar::PanelRect(const TStatusPanel* panel) const {
    int left = 0;
    for (size_t i = 0; i < panels_.size(); ++i) {
        const bool last = i + 1 == panels_.size();
        // A text panel is never narrower than its text, so that "Service" is never cut.
        int width = panels_[i].Width;
        if (!panels_[i].OwnerDraw && !last)
            width = std::max(width,
                             fontMetrics().horizontalAdvance(panels_[i].Text) + 2 * TextMargin + 2);
        if (last)
            width = std::max(0, this->width() - left);
        if (&panels_[i] == panel)
            return QRect(left, 0, width, height());
        left += width;
    }
    return {};
}

QString TPanelStatusBar::ShownText(const TStatusPanel& panel) const {
    const QRect textRect = PanelRect(&panel).adjusted(TextMargin, 0, -TextMargin, 0);
    return fontMetrics().elidedText(OneLine(panel.Text), Qt::ElideRight, textRect.width());
}

QString TPanelStatusBar::PanelToolTip(const TStatusPanel* panel) const {
    if (panel->OwnerDraw || panel->Text.isEmpty())
        return {};
    return ShownText(*panel) == OneLine(panel->Text) ? QString() : panel->Text;
}

bool TPanelStatusBar::event(QEvent* event) {
    if (event->type() != QEvent::ToolTip)
        return QWidget::event(event);
    auto* help = static_cast<QHelpEvent*>(event);
    for (const TStatusPanel& panel : panels_) {
        const QRect rect = PanelRect(&panel);
        if (!rect.contains(help->pos()))
            continue;
        const QString tip = PanelToolTip(&panel);
        if (!tip.isEmpty()) {
            QToolTip::showText(help->globalPos(), tip, this, rect);
            return true;
        }
        break;
    }
    QToolTip::hideText();
    event->ignore();
    return true;
}

QSize TPanelStatusBar::sizeHint() const {
    return QSize(200, fontMetrics().height() + 8);
}

void TPanelStatusBar::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    for (const TStatusPanel& panel : panels_) {
        QRect rect = PanelRect(&panel);
        if (panel.Bevel) {
            painter.setPen(palette().color(QPalette::Mid));
            painter.drawRect(rect.adjusted(1, 1, -2, -2));
        }
        if (panel.OwnerDraw) {
            if (OnDrawPanel)
                OnDrawPanel(painter, &panel, rect);
            continue;
        }
        painter.setPen(palette().color(QPalette::WindowText));
        QRect textRect = rect.adjusted(TextMargin, 0, -TextMargin, 0);
        painter.drawText(textRect, static_cast<int>(panel.Alignment | Qt::AlignVCenter),
                         ShownText(panel));
    }
}
