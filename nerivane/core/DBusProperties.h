// What the system-daemon watchers (power, lock, NetworkManager) share when
// they read properties over D-Bus: the standard properties interface, its
// change signal, and how long a call to a local daemon may take.
#pragma once

#include <QString>

namespace nerivane::DBusProperties {

inline const QString interface = QStringLiteral("org.freedesktop.DBus.Properties");
inline const QString changedSignal = QStringLiteral("PropertiesChanged");
// A local daemon answers within milliseconds; a hung one must not hold the
// main thread for long.
constexpr int callTimeoutMs = 2000;

}  // namespace nerivane::DBusProperties
