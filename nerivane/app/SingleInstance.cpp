#include "nerivane/app/SingleInstance.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QMetaMethod>

#include "NerivaneKit/platform/ApplicationId.h"

namespace nerivane {
namespace {

QString serviceName() {
    return QString::fromUtf8(applicationId.data(), static_cast<qsizetype>(applicationId.size()));
}

}  // namespace

SingleInstance::SingleInstance(QDBusConnection bus, QObject* parent) : QObject(parent), bus_(std::move(bus)) {}

SingleInstance::~SingleInstance() {
    if (!owned_) return;
    bus_.unregisterObject(QString::fromLatin1(objectPath));
    bus_.unregisterService(serviceName());
}

SingleInstance::Claim SingleInstance::claim() {
    if (!bus_.isConnected() || bus_.interface() == nullptr) return Claim::noBus;
    // The object first, so that a second launch that sees the name can call it.
    if (!bus_.registerObject(QString::fromLatin1(objectPath), this, QDBusConnection::ExportScriptableSlots))
        return Claim::noBus;
    const auto reply = bus_.interface()->registerService(serviceName(), QDBusConnectionInterface::DontQueueService,
                                                         QDBusConnectionInterface::DontAllowReplacement);
    if (reply.isValid() && reply.value() == QDBusConnectionInterface::ServiceRegistered) {
        owned_ = true;
        return Claim::owned;
    }
    bus_.unregisterObject(QString::fromLatin1(objectPath));
    return reply.isValid() ? Claim::alreadyRunning : Claim::noBus;
}

std::optional<QString> SingleInstance::activateRunning() {
    auto message = QDBusMessage::createMethodCall(serviceName(), QString::fromLatin1(objectPath), serviceName(),
                                                  QStringLiteral("Activate"));
    const QDBusMessage reply = bus_.call(message, QDBus::Block, 5000);
    if (reply.type() != QDBusMessage::ReplyMessage) return std::nullopt;
    // An older instance answers with nothing: it ran a tray item.
    const auto arguments = reply.arguments();
    return arguments.isEmpty() ? QStringLiteral("tray") : arguments.first().toString();
}

QString SingleInstance::Activate() {
    if (isSignalConnected(QMetaMethod::fromSignal(&SingleInstance::activationRequested))) {
        emit activationRequested();
    } else {
        earlyActivation_ = true;
    }
    return frontEnd_;
}

}  // namespace nerivane
