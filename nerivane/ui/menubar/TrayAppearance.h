// The appearance a tray readout is drawn for: a name that keys the ink and
// the label colour ink is made of. A tray has no label-colour interface, so
// the tray host's own colours win, then the desktop's colour-scheme
// preference, then light ink on a dark panel (the common panels' default).
// A plain value.
#pragma once

#include <QColor>
#include <QString>
#include <optional>

namespace nerivane {

struct TrayAppearance {
    enum class Source { tray, colorScheme, fallback };

    Source source = Source::fallback;
    QString name = QStringLiteral("dark");
    QColor label = QColor(0xf2, 0xf2, 0xf2);

    bool operator==(const TrayAppearance&) const = default;

    // trayForeground: the foreground of the tray's _NET_SYSTEM_TRAY_COLORS;
    // colorScheme: the portal's org.freedesktop.appearance color-scheme
    // (0 no preference, 1 prefer dark, 2 prefer light).
    static TrayAppearance resolve(std::optional<QColor> trayForeground, std::optional<unsigned> colorScheme);
};

}  // namespace nerivane
