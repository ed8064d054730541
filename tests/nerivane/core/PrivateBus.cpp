#include "nerivane/core/PrivateBus.h"

#include <QDBusConnectionInterface>
#include <QDBusVariant>
#include <QFile>
#include <QStandardPaths>
#include <signal.h>
#include <sys/prctl.h>

namespace nerivane::test {
namespace {

// No service directories: nothing on this bus may be started by activation.
constexpr const char* configuration = R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir=%1</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";

}  // namespace

PrivateBus::PrivateBus() {
    const QString program = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
    if (program.isEmpty() || !directory_.isValid()) return;
    const QString configPath = directory_.filePath(QStringLiteral("bus.conf"));
    QFile config(configPath);
    if (!config.open(QIODevice::WriteOnly)) return;
    config.write(QString::fromLatin1(configuration).arg(directory_.path()).toUtf8());
    config.close();

    // The daemon goes with us even if the test program dies.
    daemon_.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGTERM); });
    daemon_.setProcessChannelMode(QProcess::SeparateChannels);
    daemon_.start(program, {QStringLiteral("--config-file=") + configPath, QStringLiteral("--print-address"),
                            QStringLiteral("--nofork")});
    if (!daemon_.waitForStarted(10000)) return;
    QByteArray output;
    while (!output.contains('\n') && daemon_.waitForReadyRead(10000)) output += daemon_.readAllStandardOutput();
    address_ = QString::fromUtf8(output).trimmed();
}

PrivateBus::~PrivateBus() {
    for (const QString& name : names_) QDBusConnection::disconnectFromBus(name);
    if (daemon_.state() != QProcess::NotRunning) {
        daemon_.terminate();
        if (!daemon_.waitForFinished(5000)) {
            daemon_.kill();
            daemon_.waitForFinished(5000);
        }
    }
}

QDBusConnection PrivateBus::connect(const QString& name) {
    names_.append(name);
    return QDBusConnection::connectToBus(address_, name);
}

void StandInObject::setMethod(const QString& interface, const QString& name, Method method) {
    std::lock_guard lock(mutex_);
    methods_.insert(interface + QLatin1Char('.') + name, std::move(method));
}

void StandInObject::setPropertyValue(const QString& interface, const QString& name, const QVariant& value) {
    std::lock_guard lock(mutex_);
    properties_.insert(interface + QLatin1Char('.') + name, value);
}

bool StandInObject::handleMessage(const QDBusMessage& message, const QDBusConnection& connection) {
    const QString key = message.interface() + QLatin1Char('.') + message.member();
    QDBusMessage reply;
    if (message.interface() == QStringLiteral("org.freedesktop.DBus.Properties") &&
        message.member() == QStringLiteral("Get") && message.arguments().size() == 2) {
        std::lock_guard lock(mutex_);
        const QString property = message.arguments()[0].toString() + QLatin1Char('.') + message.arguments()[1].toString();
        if (properties_.contains(property)) {
            reply = message.createReply(QVariant::fromValue(QDBusVariant(properties_.value(property))));
        } else {
            reply = message.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.UnknownProperty"), property);
        }
    } else {
        Method method;
        {
            std::lock_guard lock(mutex_);
            method = methods_.value(key);
        }
        const auto result = method ? method(message) : std::nullopt;
        reply = result ? message.createReply(*result)
                       : message.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.Failed"), key);
    }
    connection.send(reply);
    return true;
}

StandIns::StandIns(PrivateBus& bus, const QString& connectionName)
    : name_(connectionName), connection_(bus.connect(connectionName)) {
    thread_.start();
}

StandIns::~StandIns() {
    for (const auto& [path, object] : objects_) connection_.unregisterObject(path);
    QDBusConnection::disconnectFromBus(name_);
    thread_.quit();
    thread_.wait();
}

StandInObject& StandIns::object(const QString& path) {
    for (auto& [existing, object] : objects_) {
        if (existing == path) return *object;
    }
    auto object = std::make_unique<StandInObject>();
    object->moveToThread(&thread_);
    connection_.registerVirtualObject(path, object.get(), QDBusConnection::SingleNode);
    objects_.emplace_back(path, std::move(object));
    return *objects_.back().second;
}

bool StandIns::own(const QString& service) {
    return connection_.registerService(service);
}

void StandIns::release(const QString& service) {
    connection_.unregisterService(service);
}

void StandIns::emitSignal(const QString& path, const QString& interface, const QString& name,
                          const QVariantList& arguments) {
    auto message = QDBusMessage::createSignal(path, interface, name);
    message.setArguments(arguments);
    connection_.send(message);
}

void StandIns::changeProperty(const QString& path, const QString& interface, const QString& name,
                              const QVariant& value) {
    object(path).setPropertyValue(interface, name, value);
    emitSignal(path, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("PropertiesChanged"),
               {interface, QVariantMap{{name, value}}, QStringList{}});
}

}  // namespace nerivane::test
