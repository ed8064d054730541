// Turns each alert of the alert tracker into a desktop notification through
// org.freedesktop.Notifications on the session bus, and reports a click on one
// of ours so the popover can open. Owned by the application model; main thread.
//
// Every alert becomes a new notification (none replaces another). Only the ids
// the server gave our recent notifications count for clicks: the server
// broadcasts ActionInvoked to every client on the bus.
//
// A notification service that is not there (none started yet at login, a
// server without a desktop, a daemon restarting) is no refusal: every alert
// is still posted, one that cannot be shown is logged, and its name is
// watched so the log says when a service came. Only the bus refusing us
// access counts as refused.
#pragma once

#include <QDBusConnection>
#include <QDBusError>
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
    // The answer to a permission request: a service answered, the bus
    // refused us, or there is no service to ask (yet).
    enum class Permission { granted, refused, unavailable };

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

    // Shows the alert; the snapshot explains a verdict change. An alert that
    // cannot be shown is logged with what it said.
    void post(const AlertTracker::Alert& alert, const MonitorSnapshot& snapshot);

    // Whether notifications can be shown: granted when a notification service
    // answers on the bus. The completion runs later on the main thread, never
    // from within this call.
    void requestPermission(std::function<void(Permission)> completion);
    // How a failed call's error reads as a permission.
    static Permission permission(QDBusError::ErrorType error);

    // Whether the service was there at the last call or name change.
    bool serviceAvailable() const { return serviceAvailable_; }

    static Content content(const AlertTracker::Alert& alert, const MonitorSnapshot& snapshot,
                           const VerdictTexts::Context& context = VerdictTexts::Context::current());

private slots:
    void handleActionInvoked(uint id, const QString& action);
    void handleNotificationClosed(uint id, uint reason);

private:
    void remember(uint id);
    void notShown(const Content& content, const QString& why);

    QDBusConnection bus_;
    // False from a call that found nobody holding the service's name until
    // the name is taken. Alerts are posted regardless (a service may be
    // started by the bus on the call); this only says when one came.
    bool serviceAvailable_ = true;
    // Ids of our notifications still on screen, newest last; bounded, since a
    // server need not tell us when one goes away.
    std::deque<uint> posted_;
};

}  // namespace nerivane
