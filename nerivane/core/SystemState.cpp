#include "nerivane/core/SystemState.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QTimer>
#include <algorithm>
#include <climits>
#include <cmath>
#include <unistd.h>

#include "NerivaneKit/platform/Log.h"
#include "nerivane/core/DBusProperties.h"

namespace nerivane {
namespace {

const QString upowerService = QStringLiteral("org.freedesktop.UPower");
const QString upowerPath = QStringLiteral("/org/freedesktop/UPower");
const QString upowerInterface = QStringLiteral("org.freedesktop.UPower");

// power-profiles-daemon took UPower's name space in 0.20; older releases
// still answer only under their original name.
struct ProfilesService {
    QString service;
    QString path;
    QString interface;
};
const ProfilesService profilesServices[] = {
    {QStringLiteral("org.freedesktop.UPower.PowerProfiles"), QStringLiteral("/org/freedesktop/UPower/PowerProfiles"),
     QStringLiteral("org.freedesktop.UPower.PowerProfiles")},
    {QStringLiteral("net.hadess.PowerProfiles"), QStringLiteral("/net/hadess/PowerProfiles"),
     QStringLiteral("net.hadess.PowerProfiles")},
};

const QString login1Service = QStringLiteral("org.freedesktop.login1");
const QString login1Path = QStringLiteral("/org/freedesktop/login1");
const QString login1Manager = QStringLiteral("org.freedesktop.login1.Manager");
const QString login1Session = QStringLiteral("org.freedesktop.login1.Session");

// KDE announces on both paths; a repeated announcement changes no flag.
const QString screenSaverService = QStringLiteral("org.freedesktop.ScreenSaver");
const QString screenSaverPaths[] = {QStringLiteral("/org/freedesktop/ScreenSaver"), QStringLiteral("/ScreenSaver")};

bool isOwned(QDBusConnection& bus, const QString& service) {
    // Asking the owner first keeps us from starting an activatable service
    // that the machine does not run.
    if (!bus.isConnected() || bus.interface() == nullptr) return false;
    const auto reply = bus.interface()->isServiceRegistered(service);
    return reply.isValid() && reply.value();
}

std::optional<QVariant> readProperty(QDBusConnection& bus, const QString& service, const QString& path,
                                 const QString& interface, const QString& name) {
    auto message = QDBusMessage::createMethodCall(service, path, DBusProperties::interface, QStringLiteral("Get"));
    message << interface << name;
    const QDBusMessage reply = bus.call(message, QDBus::Block, DBusProperties::callTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return std::nullopt;
    QVariant value = reply.arguments().constFirst();
    if (value.userType() == qMetaTypeId<QDBusVariant>()) value = qvariant_cast<QDBusVariant>(value).variant();
    return value;
}

QString objectPath(QDBusConnection& bus, const QString& method, const QVariant& argument) {
    auto message = QDBusMessage::createMethodCall(login1Service, login1Path, login1Manager, method);
    message << argument;
    const QDBusMessage reply = bus.call(message, QDBus::Block, DBusProperties::callTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return QString();
    return qvariant_cast<QDBusObjectPath>(reply.arguments().constFirst()).path();
}

int milliseconds(double seconds) {
    return static_cast<int>(std::clamp(std::llround(seconds * 1000), 0LL, static_cast<long long>(INT_MAX)));
}

}  // namespace

SystemState::Environment SystemState::Environment::current() {
    const auto variable = [](const char* name) -> std::optional<QString> {
        if (!qEnvironmentVariableIsSet(name)) return std::nullopt;
        return qEnvironmentVariable(name);
    };
    return {variable("NERIVANE_ON_BATTERY"), variable("NERIVANE_LOCK_TEST"), variable("XDG_SESSION_ID")};
}

SystemState::SystemState(QObject* parent)
    : SystemState(QDBusConnection::systemBus(), QDBusConnection::sessionBus(), Environment::current(), parent) {}

SystemState::SystemState(QDBusConnection systemBus, QDBusConnection sessionBus, Environment environment,
                         QObject* parent)
    : QObject(parent),
      systemBus_(std::move(systemBus)),
      sessionBus_(std::move(sessionBus)),
      environment_(std::move(environment)) {
    forceBattery_ = environment_.onBattery == QStringLiteral("1");
    watchPower();
    watchProfiles();
    watchSession();
    watchScreenSaver();
    if (environment_.lockTest) startSimulatedLock(*environment_.lockTest);
}

SystemState::~SystemState() = default;

std::optional<SlowRateReason> SystemState::slowRateReason(const NetworkPath& path) const {
    return nerivane::slowRateReason(onBattery_, lowPowerMode_, path);
}

std::optional<std::pair<double, double>> SystemState::parseLockTest(const QString& text) {
    std::vector<double> numbers;
    for (const QString& piece : text.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        bool ok = false;
        const double number = piece.toDouble(&ok);
        if (ok && std::isfinite(number)) numbers.push_back(number);
    }
    if (numbers.size() != 2) return std::nullopt;
    return std::pair{numbers[0], numbers[1]};
}

// Each source listens before it reads, so that a change between the two is not lost.

void SystemState::watchPower() {
    if (systemBus_.isConnected()) {
        systemBus_.connect(upowerService, upowerPath, DBusProperties::interface, DBusProperties::changedSignal, this,
                           SLOT(handlePowerPropertiesChanged(QString, QVariantMap, QStringList)));
        auto* watcher = new QDBusServiceWatcher(upowerService, systemBus_, QDBusServiceWatcher::WatchForOwnerChange, this);
        connect(watcher, &QDBusServiceWatcher::serviceRegistered, this, [this] { set(onBattery_, readBattery()); });
        connect(watcher, &QDBusServiceWatcher::serviceUnregistered, this, [this] { set(onBattery_, forceBattery_); });
        watchers_.push_back(watcher);
    }
    onBattery_ = readBattery();
}

void SystemState::watchProfiles() {
    if (systemBus_.isConnected()) {
        for (const auto& profiles : profilesServices) {
            systemBus_.connect(profiles.service, profiles.path, DBusProperties::interface,
                               DBusProperties::changedSignal, this,
                               SLOT(handleProfilesPropertiesChanged(QString, QVariantMap, QStringList)));
            auto* watcher =
                new QDBusServiceWatcher(profiles.service, systemBus_, QDBusServiceWatcher::WatchForOwnerChange, this);
            connect(watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
                    [this] { set(lowPowerMode_, readLowPowerMode()); });
            watchers_.push_back(watcher);
        }
    }
    lowPowerMode_ = readLowPowerMode();
}

void SystemState::watchSession() {
    if (systemBus_.isConnected()) {
        auto* watcher = new QDBusServiceWatcher(login1Service, systemBus_, QDBusServiceWatcher::WatchForOwnerChange, this);
        connect(watcher, &QDBusServiceWatcher::serviceRegistered, this, [this] {
            attachSession();
            set(screenLocked_, readLocked());
        });
        connect(watcher, &QDBusServiceWatcher::serviceUnregistered, this, [this] { set(screenLocked_, false); });
        watchers_.push_back(watcher);
        systemBus_.connect(login1Service, login1Path, login1Manager, QStringLiteral("PrepareForSleep"), this,
                           SLOT(handlePrepareForSleep(bool)));
    }
    if (!attachSession()) Log("app").debug("no login session found: the screen counts as unlocked");
    screenLocked_ = readLocked();
}

void SystemState::watchScreenSaver() {
    if (!sessionBus_.isConnected()) return;
    for (const QString& path : screenSaverPaths) {
        sessionBus_.connect(screenSaverService, path, screenSaverService, QStringLiteral("ActiveChanged"), this,
                            SLOT(handleScreenSaverActiveChanged(bool)));
    }
    auto* watcher =
        new QDBusServiceWatcher(screenSaverService, sessionBus_, QDBusServiceWatcher::WatchForUnregistration, this);
    // A screensaver that goes away while active would otherwise keep probing stopped.
    connect(watcher, &QDBusServiceWatcher::serviceUnregistered, this, [this] { set(displaysAsleep_, false); });
    watchers_.push_back(watcher);
}

void SystemState::startSimulatedLock(const QString& text) {
    const auto window = parseLockTest(text);
    if (!window) return;
    Log("app").info(Log::format("simulated lock from %g s to %g s", window->first, window->second));
    QTimer::singleShot(milliseconds(window->first), this, [this] { set(simulatedLock_, true); });
    QTimer::singleShot(milliseconds(window->second), this, [this] { set(simulatedLock_, false); });
}

bool SystemState::readBattery() {
    if (forceBattery_) return true;
    if (!isOwned(systemBus_, upowerService)) return false;
    const auto value = readProperty(systemBus_, upowerService, upowerPath, upowerInterface, QStringLiteral("OnBattery"));
    return value && value->toBool();
}

bool SystemState::readLowPowerMode() {
    for (const auto& profiles : profilesServices) {
        if (!isOwned(systemBus_, profiles.service)) continue;
        const auto value =
            readProperty(systemBus_, profiles.service, profiles.path, profiles.interface, QStringLiteral("ActiveProfile"));
        if (value) return value->toString() == QStringLiteral("power-saver");
    }
    return false;
}

bool SystemState::readLocked() {
    if (sessionPath_.isEmpty()) return false;
    const auto value = readProperty(systemBus_, login1Service, sessionPath_, login1Session, QStringLiteral("LockedHint"));
    return value && value->toBool();
}

bool SystemState::attachSession() {
    if (!isOwned(systemBus_, login1Service)) return false;
    // Our own session by its id, else the session this process belongs to,
    // else the one logind picks for us (the user's graphical session).
    QString path;
    if (environment_.sessionID && !environment_.sessionID->isEmpty()) {
        path = objectPath(systemBus_, QStringLiteral("GetSession"), *environment_.sessionID);
    }
    if (path.isEmpty()) {
        path = objectPath(systemBus_, QStringLiteral("GetSessionByPID"), QVariant::fromValue(static_cast<uint>(getpid())));
    }
    if (path.isEmpty()) path = objectPath(systemBus_, QStringLiteral("GetSession"), QStringLiteral("auto"));
    if (path.isEmpty()) return false;
    if (path == sessionPath_) return true;

    detachSession();
    sessionPath_ = path;
    systemBus_.connect(login1Service, path, DBusProperties::interface, DBusProperties::changedSignal, this,
                       SLOT(handleSessionPropertiesChanged(QString, QVariantMap, QStringList)));
    systemBus_.connect(login1Service, path, login1Session, QStringLiteral("Lock"), this, SLOT(handleSessionLock()));
    systemBus_.connect(login1Service, path, login1Session, QStringLiteral("Unlock"), this, SLOT(handleSessionUnlock()));
    return true;
}

void SystemState::detachSession() {
    if (sessionPath_.isEmpty()) return;
    systemBus_.disconnect(login1Service, sessionPath_, DBusProperties::interface, DBusProperties::changedSignal, this,
                          SLOT(handleSessionPropertiesChanged(QString, QVariantMap, QStringList)));
    systemBus_.disconnect(login1Service, sessionPath_, login1Session, QStringLiteral("Lock"), this,
                          SLOT(handleSessionLock()));
    systemBus_.disconnect(login1Service, sessionPath_, login1Session, QStringLiteral("Unlock"), this,
                          SLOT(handleSessionUnlock()));
    sessionPath_.clear();
}

void SystemState::handlePowerPropertiesChanged(const QString& interface, const QVariantMap& changed,
                                               const QStringList& invalidated) {
    if (interface != upowerInterface) return;
    const QString key = QStringLiteral("OnBattery");
    if (changed.contains(key)) {
        set(onBattery_, forceBattery_ || changed.value(key).toBool());
    } else if (invalidated.contains(key)) {
        set(onBattery_, readBattery());
    }
}

void SystemState::handleProfilesPropertiesChanged(const QString& interface, const QVariantMap& changed,
                                                  const QStringList& invalidated) {
    const bool ours = std::any_of(std::begin(profilesServices), std::end(profilesServices),
                                  [&](const ProfilesService& profiles) { return profiles.interface == interface; });
    if (!ours) return;
    const QString key = QStringLiteral("ActiveProfile");
    if (changed.contains(key)) {
        set(lowPowerMode_, changed.value(key).toString() == QStringLiteral("power-saver"));
    } else if (invalidated.contains(key)) {
        set(lowPowerMode_, readLowPowerMode());
    }
}

void SystemState::handleSessionPropertiesChanged(const QString& interface, const QVariantMap& changed,
                                                 const QStringList& invalidated) {
    if (interface != login1Session) return;
    const QString key = QStringLiteral("LockedHint");
    if (changed.contains(key)) {
        set(screenLocked_, changed.value(key).toBool());
    } else if (invalidated.contains(key)) {
        set(screenLocked_, readLocked());
    }
}

void SystemState::handleSessionLock() {
    set(screenLocked_, true);
}

void SystemState::handleSessionUnlock() {
    set(screenLocked_, false);
}

void SystemState::handleScreenSaverActiveChanged(bool active) {
    set(displaysAsleep_, active);
}

void SystemState::handlePrepareForSleep(bool goingToSleep) {
    if (!goingToSleep && onWake) onWake();
}

void SystemState::set(bool& flag, bool value) {
    if (flag == value) return;
    flag = value;
    if (onChange) onChange();
}

}  // namespace nerivane
