#include "nerivane/ui/menubar/TrayAppearance.h"

namespace nerivane {

TrayAppearance TrayAppearance::resolve(std::optional<QColor> trayForeground, std::optional<unsigned> colorScheme) {
    if (trayForeground && trayForeground->isValid()) {
        QColor label = *trayForeground;
        label.setAlpha(255);
        return {Source::tray, QStringLiteral("tray") + label.name(QColor::HexRgb), label};
    }
    if (colorScheme == 1u) return {Source::colorScheme, QStringLiteral("dark"), QColor(0xf2, 0xf2, 0xf2)};
    if (colorScheme == 2u) return {Source::colorScheme, QStringLiteral("light"), QColor(0x1a, 0x1a, 0x1a)};
    return {};
}

}  // namespace nerivane
