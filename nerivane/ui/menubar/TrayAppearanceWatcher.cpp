#include "nerivane/ui/menubar/TrayAppearanceWatcher.h"

#include <xcb/xcb.h>

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QGuiApplication>
#include <memory>

namespace nerivane {
namespace {

const QString portalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString portalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString settingsInterface = QStringLiteral("org.freedesktop.portal.Settings");
const QString appearanceGroup = QStringLiteral("org.freedesktop.appearance");
const QString colorSchemeKey = QStringLiteral("color-scheme");

xcb_connection_t* x11Connection() {
    auto* application = qGuiApp;
    if (application == nullptr) return nullptr;
    auto* x11 = application->nativeInterface<QNativeInterface::QX11Application>();
    return x11 != nullptr ? x11->connection() : nullptr;
}

xcb_atom_t atom(xcb_connection_t* connection, const QByteArray& name) {
    const auto cookie = xcb_intern_atom(connection, 0, static_cast<uint16_t>(name.size()), name.constData());
    std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> reply(xcb_intern_atom_reply(connection, cookie, nullptr),
                                                                       &std::free);
    return reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
}

// The colour from a variant that may be wrapped once more (Read returns v of v).
std::optional<unsigned> schemeValue(QVariant value) {
    while (value.canConvert<QDBusVariant>() && value.userType() == qMetaTypeId<QDBusVariant>())
        value = value.value<QDBusVariant>().variant();
    bool ok = false;
    const unsigned scheme = value.toUInt(&ok);
    return ok ? std::optional<unsigned>(scheme) : std::nullopt;
}

}  // namespace

TrayAppearanceWatcher::TrayAppearanceWatcher(QDBusConnection sessionBus, QObject* parent)
    : QObject(parent), bus_(std::move(sessionBus)) {
    if (auto* connection = x11Connection()) {
        const int screen = 0;
        selectionAtom_ = atom(connection, "_NET_SYSTEM_TRAY_S" + QByteArray::number(screen));
        colorsAtom_ = atom(connection, "_NET_SYSTEM_TRAY_COLORS");
        managerAtom_ = atom(connection, "MANAGER");
        QCoreApplication::instance()->installNativeEventFilter(this);
        refreshTray();
    }
    if (bus_.isConnected()) {
        bus_.connect(portalService, portalPath, settingsInterface, QStringLiteral("SettingChanged"), this,
                     SLOT(handleSettingChanged(QDBusMessage)));
        auto message = QDBusMessage::createMethodCall(portalService, portalPath, settingsInterface, QStringLiteral("Read"));
        message << appearanceGroup << colorSchemeKey;
        auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(message, 2000), this);
        connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* call) {
            call->deleteLater();
            const QDBusMessage reply = call->reply();
            if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return;
            colorScheme_ = schemeValue(reply.arguments().front());
            update();
        });
    }
    update();
}

TrayAppearanceWatcher::~TrayAppearanceWatcher() {
    if (selectionAtom_ != 0 && QCoreApplication::instance() != nullptr)
        QCoreApplication::instance()->removeNativeEventFilter(this);
}

void TrayAppearanceWatcher::refreshTray() {
    auto* connection = x11Connection();
    if (connection == nullptr || selectionAtom_ == XCB_ATOM_NONE) return;
    std::unique_ptr<xcb_get_selection_owner_reply_t, decltype(&std::free)> owner(
        xcb_get_selection_owner_reply(connection, xcb_get_selection_owner(connection, selectionAtom_), nullptr),
        &std::free);
    trayOwner_ = owner ? owner->owner : 0;
    trayForeground_.reset();
    if (trayOwner_ != 0) {
        // Property changes of the owner reach the event filter below.
        const uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
        xcb_change_window_attributes(connection, trayOwner_, XCB_CW_EVENT_MASK, &mask);
        std::unique_ptr<xcb_get_property_reply_t, decltype(&std::free)> colors(
            xcb_get_property_reply(connection,
                                   xcb_get_property(connection, 0, trayOwner_, colorsAtom_, XCB_ATOM_CARDINAL, 0, 12),
                                   nullptr),
            &std::free);
        // Foreground, error, warning, success as red, green, blue of 16 bits each.
        if (colors && colors->format == 32 && xcb_get_property_value_length(colors.get()) >= 12) {
            const auto* values = static_cast<const uint32_t*>(xcb_get_property_value(colors.get()));
            trayForeground_ = QColor::fromRgba64(static_cast<quint16>(values[0]), static_cast<quint16>(values[1]),
                                                 static_cast<quint16>(values[2]));
        }
    }
    xcb_flush(connection);
    update();
}

bool TrayAppearanceWatcher::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
    if (eventType != "xcb_generic_event_t") return false;
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    const uint8_t type = event->response_type & 0x7f;
    if (type == XCB_PROPERTY_NOTIFY) {
        const auto* property = static_cast<const xcb_property_notify_event_t*>(message);
        if (property->window == trayOwner_ && property->atom == colorsAtom_) refreshTray();
    } else if (type == XCB_CLIENT_MESSAGE) {
        // A new tray announces itself on the root window with MANAGER.
        const auto* client = static_cast<const xcb_client_message_event_t*>(message);
        if (client->type == managerAtom_ && client->data.data32[1] == selectionAtom_) refreshTray();
    }
    return false;
}

void TrayAppearanceWatcher::handleSettingChanged(const QDBusMessage& message) {
    const QVariantList arguments = message.arguments();
    if (arguments.size() < 3 || arguments.at(0).toString() != appearanceGroup ||
        arguments.at(1).toString() != colorSchemeKey)
        return;
    colorScheme_ = schemeValue(arguments.at(2));
    update();
}

void TrayAppearanceWatcher::update() {
    const auto appearance = TrayAppearance::resolve(trayForeground_, colorScheme_);
    if (appearance == appearance_) return;
    appearance_ = appearance;
    emit appearanceChanged();
}

}  // namespace nerivane
