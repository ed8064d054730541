// The parts of the machine's condition that decide whether and how fast the
// monitor probes: running on battery, Low Power Mode, a locked session, a
// blanked screen and a developer-simulated lock. Owned by the application
// model; lives on the main thread, where every change is reported.
//
// Where each flag comes from (a missing service reads as false, unlocked):
//   onBattery       UPower's OnBattery on the system bus; NERIVANE_ON_BATTERY
//                   set to exactly "1" forces it on
//   lowPowerMode    power-profiles-daemon's ActiveProfile is "power-saver"
//   screenLocked    the logind session's LockedHint, and its Lock and Unlock
//   displaysAsleep  the session bus screensaver's ActiveChanged
//   simulatedLock   NERIVANE_LOCK_TEST "start,end": seconds after construction
// onChange runs only when a flag actually flips; onWake after each wake from
// sleep (logind's PrepareForSleep). Services that appear or vanish while we
// run are read again or forgotten.
#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>
#include <functional>
#include <optional>
#include <utility>

#include "NerivaneKit/path/NetworkPath.h"
#include "nerivane/core/SlowRateReason.h"

class QDBusServiceWatcher;

namespace nerivane {

class SystemState : public QObject {
    Q_OBJECT

public:
    // The developer variables and the login session, as read at construction.
    struct Environment {
        std::optional<QString> onBattery;  // NERIVANE_ON_BATTERY
        std::optional<QString> lockTest;   // NERIVANE_LOCK_TEST
        std::optional<QString> sessionID;  // XDG_SESSION_ID
        static Environment current();
    };

    // The machine's system and session buses and the process environment.
    explicit SystemState(QObject* parent = nullptr);
    SystemState(QDBusConnection systemBus, QDBusConnection sessionBus, Environment environment,
                QObject* parent = nullptr);
    ~SystemState() override;

    bool onBattery() const { return onBattery_; }
    bool lowPowerMode() const { return lowPowerMode_; }
    bool screenLocked() const { return screenLocked_; }
    bool displaysAsleep() const { return displaysAsleep_; }
    bool simulatedLock() const { return simulatedLock_; }
    bool forceBattery() const { return forceBattery_; }

    // A locked session, sleeping displays or the simulated lock.
    bool countsAsLocked() const { return screenLocked_ || displaysAsleep_ || simulatedLock_; }
    std::optional<SlowRateReason> slowRateReason(const NetworkPath& path) const;

    // Called after any flag changed, on the main thread.
    std::function<void()> onChange;
    // Called when the machine has woken from sleep (logind's PrepareForSleep
    // with false), on the main thread.
    std::function<void()> onWake;

    // Probing stops while the screen counts as locked, unless the user keeps it running.
    static bool lockStopsProbing(bool countsAsLocked, bool keepMonitoringWhileLocked) {
        return countsAsLocked && !keepMonitoringWhileLocked;
    }
    // Exactly two numbers (seconds) among the comma-separated pieces; empty
    // pieces and pieces that are not numbers are skipped.
    static std::optional<std::pair<double, double>> parseLockTest(const QString& text);

private slots:
    void handlePowerPropertiesChanged(const QString& interface, const QVariantMap& changed,
                                      const QStringList& invalidated);
    void handleProfilesPropertiesChanged(const QString& interface, const QVariantMap& changed,
                                         const QStringList& invalidated);
    void handleSessionPropertiesChanged(const QString& interface, const QVariantMap& changed,
                                        const QStringList& invalidated);
    void handleSessionLock();
    void handleSessionUnlock();
    void handleScreenSaverActiveChanged(bool active);
    void handlePrepareForSleep(bool goingToSleep);

private:
    void watchPower();
    void watchProfiles();
    void watchSession();
    void watchScreenSaver();
    void startSimulatedLock(const QString& text);

    bool readBattery();
    bool readLowPowerMode();
    bool readLocked();
    // Finds our logind session and listens to it; false when there is none.
    bool attachSession();
    void detachSession();

    void set(bool& flag, bool value);

    QDBusConnection systemBus_;
    QDBusConnection sessionBus_;
    Environment environment_;
    bool forceBattery_ = false;

    bool onBattery_ = false;
    bool lowPowerMode_ = false;
    bool screenLocked_ = false;
    bool displaysAsleep_ = false;
    bool simulatedLock_ = false;

    // The object path of our logind session while we listen to it.
    QString sessionPath_;
    std::vector<QDBusServiceWatcher*> watchers_;
};

}  // namespace nerivane
