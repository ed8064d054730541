#include "nerivane/ui/history/ChartColors.h"

#include <QGuiApplication>
#include <QStyleHints>
#include <QtGlobal>
#if QT_VERSION >= QT_VERSION_CHECK(6, 10, 0)
#include <QAccessibilityHints>
#endif

namespace nerivane {

bool ChartColors::isDark(const QPalette& palette) {
    return palette.color(QPalette::WindowText).lightness() > palette.color(QPalette::Window).lightness();
}

ChartColors ChartColors::from(const QPalette& palette, Accent accent, bool increasedContrast) {
    const bool dark = isDark(palette);
    ChartColors colors;
    // Each accent in a shade that reads on its background.
    switch (accent) {
    case Accent::phosphor: colors.accent = dark ? QColor(0x4c, 0xe0, 0x6a) : QColor(0x1b, 0x8f, 0x36); break;
    case Accent::cyan: colors.accent = dark ? QColor(0x40, 0xc8, 0xe0) : QColor(0x00, 0x7a, 0x99); break;
    case Accent::magenta: colors.accent = dark ? QColor(0xff, 0x5c, 0xcd) : QColor(0xb8, 0x14, 0x8a); break;
    case Accent::amber: colors.accent = dark ? QColor(0xff, 0xb3, 0x40) : QColor(0xa8, 0x62, 0x00); break;
    case Accent::system: colors.accent = palette.color(QPalette::Highlight); break;
    }
    colors.loss = dark ? QColor(0xff, 0x9f, 0x0a) : QColor(0xe6, 0x7e, 0x00);
    colors.secondary = palette.color(QPalette::PlaceholderText);
    if (increasedContrast) {
        colors.secondary = palette.color(QPalette::WindowText);
        colors.runOpacity = 0.3;
        colors.p95Opacity = 0.7;
        colors.medianWidth = 2;
    }
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
