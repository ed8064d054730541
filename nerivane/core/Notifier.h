// Turns each alert of the alert tracker into a desktop notification through
// org.freedesktop.Notifications on the session bus, and reports a click on one
// of ours so the popover can open. Owned by the application model; main thread.
//
// Every alert becomes a new notification (none replaces another). Only the ids
// the server gave our recent notifications count for clicks: the server
// broadcasts ActionInvoked to every client on the bus.
#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <deque>
#include <functional>

#include "NerivaneKit/analysis/AlertTracker.h"
#include "NerivaneKit/analysis/MonitorSnapshot.h"
#include "nerivane/core/VerdictTexts.h"

namespace nerivane {

class Notifier : public QObject {
    Q_OBJECT

public:
    // What a notification says; a plain value.
    struct Content {
        QString title;
        QString body;
        // Only an internet outage makes a sound.
        bool sound = false;
        bool operator==(const Content&) const = default;
    };

    // The session bus.
    explicit Notifier(QObject* parent = nullptr);
    explicit Notifier(QDBusConnection sessionBus, QObject* parent = nullptr);
    ~Notifier() override;

    // Called on the main thread when the user clicks one of our notifications.
    std::function<void()> onOpen;

    // Shows the alert; the snapshot explains a verdict change. Failures of the
    // notification service are ignored.
    void post(const AlertTracker::Alert& alert, const MonitorSnapshot& snapshot);

    // Whether notifications can be shown: granted when a notification service
    // answers on the bus. The completion runs later on the main thread, never
    // from within this call.
    void requestPermission(std::function<void(bool granted)> completion);

    static Content content(const AlertTracker::Alert& alert, const MonitorSnapshot& snapshot,
                           const VerdictTexts::Context& context = VerdictTexts::Context::current());

private slots:
    void handleActionInvoked(uint id, const QString& action);
    void handleNotificationClosed(uint id, uint reason);

private:
    void remember(uint id);

    QDBusConnection bus_;
    // Ids of our notifications still on screen, newest last; bounded, since a
    // server need not tell us when one goes away.
    std::deque<uint> posted_;
};

}  // namespace nerivane
