#include "nerivane/ui/settings/Switch.h"

#include <QPainter>
#include <QPainterPath>

#include "nerivane/ui/cards/CardColors.h"

namespace nerivane {

Switch::Switch(QWidget* parent) : QCheckBox(parent) { setCursor(Qt::PointingHandCursor); }

QSize Switch::sizeHint() const {
    const int height = fontMetrics().height();
    return {height * 2 + 4, height + 4};
}

void Switch::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QPalette& p = palette();
    const QColor ground = p.color(QPalette::Window), card = CardColors::cardFill(p);
    const qreal height = std::min<qreal>(this->height() - 4, fontMetrics().height());
    const QRectF track(width() - 2 - height * 2, (this->height() - height) / 2, height * 2, height);
    const qreal knob = height - 6;
    // On: filled in the highlight; off: an outline and a knob in the secondary ink.
    const QColor on = CardColors::legible(CardColors::legible(p.color(QPalette::Highlight), ground, 3), card, 3);
    const QColor off = CardColors::legible(CardColors::legible(CardColors::secondary(p), ground, 3), card, 3);
    QColor knobColour = isChecked() ? ground : off;
    painter.setPen(QPen(isChecked() ? on : off, 1.5));
    painter.setBrush(isChecked() ? on : Qt::transparent);
    if (!isEnabled()) painter.setOpacity(0.5);
    painter.drawRoundedRect(track.adjusted(0.75, 0.75, -0.75, -0.75), height / 2, height / 2);
    painter.setPen(Qt::NoPen);
    painter.setBrush(knobColour);
    const qreal x = isChecked() ? track.right() - 3 - knob : track.left() + 3;
    painter.drawEllipse(QRectF(x, track.top() + 3, knob, knob));
    if (hasFocus()) {
        painter.setPen(QPen(on, 1.5));
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(track.adjusted(-2, -2, 2, 2), height / 2 + 2, height / 2 + 2);
    }
}

}  // namespace nerivane
