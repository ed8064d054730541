#include "nerivane/ui/cards/EventRow.h"

#include <QPainter>

#include "nerivane/ui/cards/CardColors.h"
#include "nerivane/ui/cards/Symbols.h"

namespace nerivane {
namespace {

constexpr int symbolSide = 13;
constexpr int gap = 8;

// Digits of durations and times in a fixed-width face, so a list of them lines up.
// The popup's one small step, in its own face: sans figures are as wide as
// each other, so the columns of times still line up.
QFont digitsFont(const QFont& base) {
    QFont font = base;
    font.setPointSizeF(base.pointSizeF() * 0.85);
    return font;
}

QFont targetsFont(const QFont& base) {
    QFont font = base;
    font.setPointSizeF(base.pointSizeF() * 0.85);
    return font;
}

}  // namespace

EventRow::EventRow(const Incident& incident, const CardContext& context, QWidget* parent)
    : QWidget(parent), kind_(incident.kind), texts_(CardTexts::eventTexts(incident, context.texts)) {
    // The symbol is painted, not a child, so assistive technology hears the sentence alone.
    setAccessibleName(texts_.spoken);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

QSize EventRow::sizeHint() const {
    const int line = std::max(fontMetrics().height(), QFontMetrics(digitsFont(font())).height());
    // The targets go on a line of their own: three hosts never fit beside the figures.
    return {300, line + QFontMetrics(targetsFont(font())).height() + 4};
}

void EventRow::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QRect area = rect();
    const QPalette& colours = palette();
    const QColor secondary = CardColors::secondaryText(colours);
    const bool outage = kind_ == NetworkEvent::Kind::outage;
    const QFont digits = digitsFont(font());
    const int lineHeight = std::max(fontMetrics().height(), QFontMetrics(digits).height()) + 2;
    const QRect first(area.left(), area.top(), area.width(), lineHeight);
    Symbols::draw(painter, outage ? Symbols::Symbol::outage : Symbols::Symbol::spike,
                  QRectF(0, (first.height() - symbolSide) / 2.0, symbolSide, symbolSide),
                  outage ? CardColors::red(colours) : CardColors::orange(colours));

    // Right to left: start time, duration, worst time; the title takes what is left.
    int right = first.right();
    const auto drawRight = [&](const QString& text, const QFont& font, const QColor& ink) {
        const int width = QFontMetrics(font).horizontalAdvance(text);
        painter.setFont(font);
        painter.setPen(ink);
        painter.drawText(QRect(right - width + 1, first.top(), width, first.height()), Qt::AlignVCenter | Qt::AlignRight,
                         text);
        right -= width + gap;
    };
    drawRight(texts_.start, digits, secondary);
    drawRight(texts_.duration, digits, colours.color(QPalette::WindowText));
    if (!texts_.worst.isEmpty()) drawRight(texts_.worst, digits, secondary);

    const int left = symbolSide + 6;
    painter.setFont(font());
    painter.setPen(colours.color(QPalette::WindowText));
    const QString title = fontMetrics().elidedText(texts_.title, Qt::ElideRight, std::max(0, right - left));
    painter.drawText(QRect(left, first.top(), std::max(0, right - left), first.height()), Qt::AlignVCenter | Qt::AlignLeft,
                     title);

    const QFont small = targetsFont(font());
    const QRect second(left, first.bottom() + 1, std::max(0, area.right() - left), area.bottom() - first.bottom());
    painter.setFont(small);
    painter.setPen(secondary);
    painter.drawText(second, Qt::AlignTop | Qt::AlignLeft,
                     QFontMetrics(small).elidedText(texts_.targets, Qt::ElideRight, second.width()));
}

}  // namespace nerivane
