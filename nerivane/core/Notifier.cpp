#include "nerivane/core/Notifier.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QStringList>
#include <QTimer>
#include <QVariantMap>
#include <algorithm>
#include <type_traits>

#include "NerivaneKit/platform/ApplicationId.h"
#include "NerivaneKit/platform/Log.h"

namespace nerivane {
namespace {

const QString service = QStringLiteral("org.freedesktop.Notifications");
const QString path = QStringLiteral("/org/freedesktop/Notifications");
const QString interface = QStringLiteral("org.freedesktop.Notifications");
const QString defaultAction = QStringLiteral("default");

constexpr int callTimeoutMs = 5000;
constexpr std::size_t rememberedIds = 64;

}  // namespace

Notifier::Notifier(QObject* parent) : Notifier(QDBusConnection::sessionBus(), parent) {}

Notifier::Notifier(QDBusConnection sessionBus, QObject* parent) : QObject(parent), bus_(std::move(sessionBus)) {
    if (!bus_.isConnected()) return;
    auto* watcher = new QDBusServiceWatcher(service, bus_, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString&, const QString&, const QString& owner) {
                if (owner.isEmpty() || serviceAvailable_) return;
                serviceAvailable_ = true;
                Log("app").info("notification service appeared: alerts are shown again");
            });
    bus_.connect(service, path, interface, QStringLiteral("ActionInvoked"), this,
                 SLOT(handleActionInvoked(uint, QString)));
    bus_.connect(service, path, interface, QStringLiteral("NotificationClosed"), this,
                 SLOT(handleNotificationClosed(uint, uint)));
}

Notifier::~Notifier() = default;

Notifier::Content Notifier::content(const AlertTracker::Alert& alert, const MonitorSnapshot& snapshot,
                                    const VerdictTexts::Context& context) {
    return std::visit(
        [&](const auto& payload) -> Content {
            using Payload = std::decay_t<decltype(payload)>;
            if constexpr (std::is_same_v<Payload, AlertTracker::InternetDown>) {
                QStringList hosts;
                for (const auto& host : payload.hosts) hosts.append(QString::fromStdString(host));
                QString body = tr("No reply from %1 since %2.")
                                   .arg(VerdictTexts::andList(hosts, context), VerdictTexts::timeText(unixSeconds(payload.since), context));
                if (payload.verdict == Verdict::localDown) body += QLatin1Char(' ') + tr("The router isn't answering either.");
                // A portal holds the traffic: signing in is the cure, not waiting.
                if (payload.verdict == Verdict::signInNeeded)
                    return {VerdictTexts::verdictTitle(payload.verdict),
                            body + QLatin1Char(' ') + VerdictTexts::verdictExplanation(snapshot, std::nullopt, context), true};
                return {tr("Internet down"), body, true};
            } else if constexpr (std::is_same_v<Payload, AlertTracker::InternetBack>) {
                return {tr("Internet back"), tr("It was down for %1.").arg(VerdictTexts::durationText(payload.after.count(), context)),
                        false};
            } else {
                // The snapshot's title names causes the verdict alone cannot ("Ping not permitted").
                return {payload.verdict == snapshot.verdict ? VerdictTexts::verdictTitle(snapshot)
                                                            : VerdictTexts::verdictTitle(payload.verdict),
                        VerdictTexts::verdictExplanation(snapshot, std::nullopt, context), false};
            }
        },
        alert);
}

void Notifier::post(const AlertTracker::Alert& alert, const MonitorSnapshot& snapshot) {
    const Content shown = content(alert, snapshot);
    if (!bus_.isConnected()) return notShown(shown, QStringLiteral("no session bus"));
    const bool down = std::holds_alternative<AlertTracker::InternetDown>(alert);

    QVariantMap hints{{QStringLiteral("desktop-entry"),
                       QString::fromLatin1(applicationId.data(), static_cast<qsizetype>(applicationId.size()))}};
    if (shown.sound) {
        hints.insert(QStringLiteral("sound-name"), QStringLiteral("message-new-instant"));
    } else {
        hints.insert(QStringLiteral("suppress-sound"), true);
    }
    if (down) {
        hints.insert(QStringLiteral("category"), QStringLiteral("network.disconnected"));
    } else if (std::holds_alternative<AlertTracker::InternetBack>(alert)) {
        hints.insert(QStringLiteral("category"), QStringLiteral("network.connected"));
    }

    auto message = QDBusMessage::createMethodCall(service, path, interface, QStringLiteral("Notify"));
    message << QStringLiteral("nerivane") << uint(0)
            << (down ? QStringLiteral("network-error") : QStringLiteral("network-transmit-receive")) << shown.title
            << shown.body << QStringList{defaultAction, tr("Open")} << hints << int(-1);

    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(message, callTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, shown](QDBusPendingCallWatcher* call) {
        const QDBusPendingReply<uint> reply = *call;
        call->deleteLater();
        if (!reply.isError()) return remember(reply.value());
        if (reply.error().type() == QDBusError::ServiceUnknown) serviceAvailable_ = false;
        notShown(shown, reply.error().message());
    });
}

void Notifier::notShown(const Content& content, const QString& why) {
    Log("app").info("notification not shown (" + why.toStdString() + "): " + content.title.toStdString() + ": " +
                    content.body.toStdString());
}

Notifier::Permission Notifier::permission(QDBusError::ErrorType error) {
    // The bus's policy keeps us from the service: as near to "the user said
    // no" as this desktop gets. Everything else says nobody answered.
    return error == QDBusError::AccessDenied ? Permission::refused : Permission::unavailable;
}

void Notifier::requestPermission(std::function<void(Permission)> completion) {
    if (!bus_.isConnected()) {
        QTimer::singleShot(0, this, [completion = std::move(completion)] {
            if (completion) completion(Permission::unavailable);
        });
        return;
    }
    const auto message = QDBusMessage::createMethodCall(service, path, interface, QStringLiteral("GetServerInformation"));
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(message, callTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, completion = std::move(completion)](QDBusPendingCallWatcher* call) {
                call->deleteLater();
                const Permission answer = call->isError() ? permission(call->error().type()) : Permission::granted;
                // A hung or restarting service may answer the next call;
                // a name nobody holds stays missing until it is taken.
                serviceAvailable_ = !call->isError() || call->error().type() != QDBusError::ServiceUnknown;
                if (completion) completion(answer);
            });
}

void Notifier::handleActionInvoked(uint id, const QString& action) {
    if (action != defaultAction) return;
    if (std::find(posted_.begin(), posted_.end(), id) == posted_.end()) return;
    if (onOpen) onOpen();
}

void Notifier::handleNotificationClosed(uint id, uint) {
    posted_.erase(std::remove(posted_.begin(), posted_.end(), id), posted_.end());
}

void Notifier::remember(uint id) {
    posted_.push_back(id);
    while (posted_.size() > rememberedIds) posted_.pop_front();
}

}  // namespace nerivane
