#include "nerivane/ui/history/ChartColors.h"

#include <QGuiApplication>
#include <QStyleHints>
#include <QtGlobal>
#if QT_VERSION >= QT_VERSION_CHECK(6, 10, 0)
#include <QAccessibilityHints>
#endif

#include "nerivane/ui/cards/CardColors.h"

namespace nerivane {

ChartColors ChartColors::from(const QPalette& palette, Accent accent, bool increasedContrast) {
    const bool dark = CardColors::isDark(palette);
    ChartColors colors;
    // The accents are the cards' own, so the chart and the cards agree.
    colors.accent = CardColors::accent(accent, palette);
    colors.loss = dark ? QColor(0xff, 0x9f, 0x0a) : QColor(0xe6, 0x7e, 0x00);
    // The cards' secondary ink: a palette's placeholder colour can sink into a dark window.
    colors.secondary = CardColors::secondaryText(palette);
    // Cool tones apart from every accent and the loss orange, so the latency stays in front.
    colors.received = dark ? QColor(0x5b, 0x9b, 0xf0) : QColor(0x2f, 0x6f, 0xc8);
    colors.sent = dark ? QColor(0xb3, 0x8b, 0xf5) : QColor(0x7d, 0x4f, 0xc4);
    // On a dark window a thin fill sinks into the background.
    colors.throughputOpacity = dark ? 0.5 : 0.35;
    if (increasedContrast) {
        colors.p95Opacity = 0.7;
        colors.secondary = palette.color(QPalette::WindowText);
        colors.runOpacity = 0.3;
        colors.medianWidth = 2;
        colors.throughputOpacity = 0.65;
    }
    // Lines, bars and swatches are graphics: 3:1 on the card and on the window, whatever the accent or palette.
    const QColor card = CardColors::cardFill(palette), window = palette.color(QPalette::Window);
    const auto graphic = [&](const QColor& colour) { return CardColors::legible(CardColors::legible(colour, window, 3), card, 3); };
    colors.accent = graphic(colors.accent);
    colors.p95 = graphic(CardColors::mix(card, colors.accent, colors.p95Opacity));
    colors.loss = graphic(colors.loss);
    colors.sent = graphic(colors.sent);
    colors.received = graphic(colors.received);
    return colors;
}

bool ChartColors::desktopPrefersContrast() {
#if QT_VERSION >= QT_VERSION_CHECK(6, 10, 0)
    return QGuiApplication::styleHints()->accessibility()->contrastPreference() == Qt::ContrastPreference::HighContrast;
#else
    // This Qt does not report the desktop's contrast preference.
    return false;
#endif
}

}  // namespace nerivane
