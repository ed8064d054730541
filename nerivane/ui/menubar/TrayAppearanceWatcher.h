// Finds the tray's appearance and reports its changes: the tray host's
// _NET_SYSTEM_TRAY_COLORS (on X11, read from the tray selection's owner and
// watched for property changes and new owners), the desktop portal's
// color-scheme setting (read once, then its SettingChanged signal), else the
// fallback. Owned by the status item controller; main thread.
#pragma once

#include <QAbstractNativeEventFilter>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>
#include <optional>

#include "nerivane/ui/menubar/TrayAppearance.h"

namespace nerivane {

class TrayAppearanceWatcher : public QObject, public QAbstractNativeEventFilter {
    Q_OBJECT

public:
    explicit TrayAppearanceWatcher(QDBusConnection sessionBus, QObject* parent = nullptr);
    ~TrayAppearanceWatcher() override;

    const TrayAppearance& appearance() const { return appearance_; }

    // Reads the tray's colours again (a tray host came or went).
    void refreshTray();

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

signals:
    void appearanceChanged();

private slots:
    // D-Bus signals reach only slots named by signature.
    // SettingChanged(namespace, key, value).
    void handleSettingChanged(const QDBusMessage& message);

private:
    void update();

    QDBusConnection bus_;
    std::optional<QColor> trayForeground_;
    std::optional<unsigned> colorScheme_;
    TrayAppearance appearance_;
    // The X11 atoms and the tray owner window watched; 0 without X11.
    unsigned trayOwner_ = 0;
    unsigned selectionAtom_ = 0;
    unsigned colorsAtom_ = 0;
    unsigned managerAtom_ = 0;
};

}  // namespace nerivane
