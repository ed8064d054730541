#include "nerivane/ui/cards/EventRow.h"

#include <QFontDatabase>
#include <QPainter>

#include "nerivane/ui/cards/CardColors.h"
#include "nerivane/ui/cards/Symbols.h"

namespace nerivane {
namespace {

constexpr int symbolSide = 13;
constexpr int gap = 8;

// Digits of durations and times in a fixed-width face, so a list of them lines up.
QFont digitsFont(const QFont& base) {
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPointSizeF(base.pointSizeF() * 0.9);
    return font;
}

}  // namespace

EventRow::EventRow(const NetworkEvent& event, const CardContext& context, QWidget* parent)
    : QWidget(parent), kind_(event.kind), texts_(CardTexts::eventTexts(event, context.texts)) {
    // The symbol is painted, not a child, so assistive technology hears the sentence alone.
    setAccessibleName(texts_.spoken);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

QSize EventRow::sizeHint() const {
    const int height = std::max(fontMetrics().height(), QFontMetrics(digitsFont(font())).height()) + 4;
    return {300, height};
}

void EventRow::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QRect area = rect();
    const QPalette& colours = palette();
    const QColor secondary = CardColors::secondary(colours);
    const bool outage = kind_ == NetworkEvent::Kind::outage;
    Symbols::draw(painter, outage ? Symbols::Symbol::outage : Symbols::Symbol::spike,
                  QRectF(0, (area.height() - symbolSide) / 2.0, symbolSide, symbolSide),
                  outage ? CardColors::red(colours) : CardColors::orange(colours));

    // Right to left: start time, duration, worst time; the title takes what is left.
    const QFont digits = digitsFont(font());
    const QFontMetrics digitMetrics(digits);
    int right = area.right();
    const auto drawRight = [&](const QString& text, const QFont& font, const QColor& ink) {
        const int width = QFontMetrics(font).horizontalAdvance(text);
        painter.setFont(font);
        painter.setPen(ink);
        painter.drawText(QRect(right - width + 1, 0, width, area.height()), Qt::AlignVCenter | Qt::AlignRight, text);
        right -= width + gap;
    };
    drawRight(texts_.start, digits, secondary);
    drawRight(texts_.duration, digits, colours.color(QPalette::WindowText));
    if (!texts_.worst.isEmpty()) drawRight(texts_.worst, font(), secondary);

    const int left = symbolSide + 6;
    painter.setFont(font());
    painter.setPen(colours.color(QPalette::WindowText));
    const QString title = fontMetrics().elidedText(texts_.title, Qt::ElideRight, std::max(0, right - left));
    painter.drawText(QRect(left, 0, std::max(0, right - left), area.height()), Qt::AlignVCenter | Qt::AlignLeft, title);
}

}  // namespace nerivane
