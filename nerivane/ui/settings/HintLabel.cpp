#include "nerivane/ui/settings/HintLabel.h"

#include <QEvent>

#include "nerivane/ui/cards/CardColors.h"

namespace nerivane {

HintLabel::HintLabel(const QString& text, Kind kind, QWidget* parent) : QLabel(text, parent), kind_(kind) {
    setWordWrap(true);
    QFont small = font();
    small.setPointSizeF(small.pointSizeF() * 0.85);
    setFont(small);
    applyInk();
}

void HintLabel::changeEvent(QEvent* event) {
    QLabel::changeEvent(event);
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::ParentChange) applyInk();
}

void HintLabel::applyInk() {
    // The ink comes from the surroundings: this label's own text colour is ours.
    const QPalette around = parentWidget() != nullptr ? parentWidget()->palette() : palette();
    const QColor ink = kind_ == Kind::warning ? CardColors::legible(CardColors::orange(around), CardColors::cardFill(around))
                                              : CardColors::secondaryText(around);
    if (palette().color(QPalette::WindowText) == ink) return;
    QPalette own = palette();
    own.setColor(QPalette::WindowText, ink);
    setPalette(own);
}

}  // namespace nerivane
