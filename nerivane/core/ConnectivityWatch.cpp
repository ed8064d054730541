#include "nerivane/core/ConnectivityWatch.h"

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <optional>

#include "nerivane/core/DBusProperties.h"

namespace nerivane {
namespace {

const QString service = QStringLiteral("org.freedesktop.NetworkManager");
const QString managerPath = QStringLiteral("/org/freedesktop/NetworkManager");
const QString managerInterface = QStringLiteral("org.freedesktop.NetworkManager");
const QString activeInterface = QStringLiteral("org.freedesktop.NetworkManager.Connection.Active");
const QString deviceInterface = QStringLiteral("org.freedesktop.NetworkManager.Device");

std::optional<QVariant> readProperty(QDBusConnection& bus, const QString& path, const QString& interface,
                                     const QString& name) {
    auto message = QDBusMessage::createMethodCall(service, path, DBusProperties::interface, QStringLiteral("Get"));
    message << interface << name;
    const QDBusMessage reply = bus.call(message, QDBus::Block, DBusProperties::callTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return std::nullopt;
    QVariant value = reply.arguments().constFirst();
    if (value.userType() == qMetaTypeId<QDBusVariant>()) value = qvariant_cast<QDBusVariant>(value).variant();
    return value;
}

ConnectivityWatch::Level levelOf(const std::optional<QVariant>& value) {
    bool ok = false;
    const uint number = value ? value->toUInt(&ok) : 0;
    return ok ? ConnectivityWatch::level(number) : ConnectivityWatch::Level::unknown;
}

// "/" is NetworkManager's way of saying "none".
QString pathOf(const QVariant& value) {
    const QString path = qvariant_cast<QDBusObjectPath>(value).path();
    return path == QStringLiteral("/") ? QString() : path;
}

QString firstPath(const QVariant& value) {
    QList<QDBusObjectPath> paths;
    if (value.userType() == qMetaTypeId<QDBusArgument>()) {
        qvariant_cast<QDBusArgument>(value) >> paths;
    } else {
        paths = qvariant_cast<QList<QDBusObjectPath>>(value);
    }
    return paths.isEmpty() ? QString() : pathOf(QVariant::fromValue(paths.constFirst()));
}

bool mentions(const QVariantMap& changed, const QStringList& invalidated, std::initializer_list<const char*> names) {
    for (const char* name : names) {
        const QString key = QString::fromLatin1(name);
        if (changed.contains(key) || invalidated.contains(key)) return true;
    }
    return false;
}

}  // namespace

QUrl ConnectivityWatch::State::signInURL() const {
    const QUrl url(checkURL, QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || url.host().isEmpty() || (scheme != QStringLiteral("http") && scheme != QStringLiteral("https")))
        return QUrl();
    return url;
}

ConnectivityWatch::Level ConnectivityWatch::level(uint value) {
    return value <= static_cast<uint>(Level::full) ? static_cast<Level>(value) : Level::unknown;
}

ConnectivityWatch::ConnectivityWatch(QObject* parent) : ConnectivityWatch(QDBusConnection::systemBus(), parent) {}

ConnectivityWatch::ConnectivityWatch(QDBusConnection systemBus, QObject* parent)
    : QObject(parent), bus_(std::move(systemBus)) {
    if (!bus_.isConnected()) return;
    // Listen before reading, so that a change between the two is not lost.
    bus_.connect(service, managerPath, DBusProperties::interface, DBusProperties::changedSignal, this,
                 SLOT(handleManagerPropertiesChanged(QString, QVariantMap, QStringList)));
    auto* watcher = new QDBusServiceWatcher(service, bus_, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(watcher, &QDBusServiceWatcher::serviceOwnerChanged, this, &ConnectivityWatch::refresh);
    refresh();
}

ConnectivityWatch::~ConnectivityWatch() = default;

void ConnectivityWatch::refresh() {
    // Asking the owner first keeps us from starting NetworkManager by activation.
    const auto owned = bus_.interface() != nullptr ? bus_.interface()->isServiceRegistered(service)
                                                   : QDBusReply<bool>();
    if (!owned.isValid() || !owned.value()) {
        follow(QString());
        set(State{});
        return;
    }
    State state;
    state.overall = levelOf(readProperty(bus_, managerPath, managerInterface, QStringLiteral("Connectivity")));
    if (const auto uri = readProperty(bus_, managerPath, managerInterface, QStringLiteral("ConnectivityCheckUri")))
        state.checkURL = uri->toString();
    QString device;
    if (const auto primary = readProperty(bus_, managerPath, managerInterface, QStringLiteral("PrimaryConnection"))) {
        const QString active = pathOf(*primary);
        if (!active.isEmpty()) {
            if (const auto devices = readProperty(bus_, active, activeInterface, QStringLiteral("Devices")))
                device = firstPath(*devices);
        }
    }
    follow(device);
    if (!device.isEmpty()) {
        state.ipv4 = levelOf(readProperty(bus_, device, deviceInterface, QStringLiteral("Ip4Connectivity")));
        state.ipv6 = levelOf(readProperty(bus_, device, deviceInterface, QStringLiteral("Ip6Connectivity")));
    }
    set(state);
}

void ConnectivityWatch::follow(const QString& devicePath) {
    if (devicePath == devicePath_) return;
    if (!devicePath_.isEmpty())
        bus_.disconnect(service, devicePath_, DBusProperties::interface, DBusProperties::changedSignal, this,
                        SLOT(handleDevicePropertiesChanged(QString, QVariantMap, QStringList)));
    devicePath_ = devicePath;
    if (!devicePath_.isEmpty())
        bus_.connect(service, devicePath_, DBusProperties::interface, DBusProperties::changedSignal, this,
                     SLOT(handleDevicePropertiesChanged(QString, QVariantMap, QStringList)));
}

void ConnectivityWatch::handleManagerPropertiesChanged(const QString& interface, const QVariantMap& changed,
                                                       const QStringList& invalidated) {
    if (interface != managerInterface) return;
    // The primary connection moving means another device: read it all again.
    if (mentions(changed, invalidated, {"PrimaryConnection", "ConnectivityCheckUri"}) ||
        invalidated.contains(QStringLiteral("Connectivity"))) {
        refresh();
    } else if (changed.contains(QStringLiteral("Connectivity"))) {
        State state = state_;
        state.overall = levelOf(changed.value(QStringLiteral("Connectivity")));
        set(state);
    }
}

void ConnectivityWatch::handleDevicePropertiesChanged(const QString& interface, const QVariantMap& changed,
                                                      const QStringList& invalidated) {
    if (interface != deviceInterface || !mentions(changed, invalidated, {"Ip4Connectivity", "Ip6Connectivity"})) return;
    State state = state_;
    const QString ip4 = QStringLiteral("Ip4Connectivity"), ip6 = QStringLiteral("Ip6Connectivity");
    state.ipv4 = changed.contains(ip4) ? levelOf(changed.value(ip4))
                 : invalidated.contains(ip4) ? levelOf(readProperty(bus_, devicePath_, deviceInterface, ip4))
                                             : state.ipv4;
    state.ipv6 = changed.contains(ip6) ? levelOf(changed.value(ip6))
                 : invalidated.contains(ip6) ? levelOf(readProperty(bus_, devicePath_, deviceInterface, ip6))
                                             : state.ipv6;
    set(state);
}

void ConnectivityWatch::set(const State& state) {
    if (state == state_) return;
    state_ = state;
    if (onChange) onChange();
}

}  // namespace nerivane
