#include "nerivane/ui/menubar/StatusNotifierItem.h"

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QtEndian>

#include "NerivaneKit/platform/Log.h"

namespace nerivane {

StatusNotifierPixmap StatusNotifierPixmap::fromImage(const QImage& image) {
    // Hosts take straight (not premultiplied) alpha, most significant byte first.
    const QImage straight = image.convertToFormat(QImage::Format_ARGB32);
    StatusNotifierPixmap pixmap{straight.width(), straight.height(), {}};
    pixmap.bytes.resize(static_cast<qsizetype>(straight.width()) * straight.height() * 4);
    auto* out = reinterpret_cast<uchar*>(pixmap.bytes.data());
    for (int y = 0; y < straight.height(); ++y) {
        const auto* row = reinterpret_cast<const quint32*>(straight.constScanLine(y));
        for (int x = 0; x < straight.width(); ++x, out += 4) qToBigEndian(row[x], out);
    }
    return pixmap;
}

QDBusArgument& operator<<(QDBusArgument& argument, const StatusNotifierPixmap& pixmap) {
    argument.beginStructure();
    argument << pixmap.width << pixmap.height << pixmap.bytes;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, StatusNotifierPixmap& pixmap) {
    argument.beginStructure();
    argument >> pixmap.width >> pixmap.height >> pixmap.bytes;
    argument.endStructure();
    return argument;
}

QDBusArgument& operator<<(QDBusArgument& argument, const StatusNotifierToolTip& toolTip) {
    argument.beginStructure();
    argument << toolTip.iconName << toolTip.pixmaps << toolTip.title << toolTip.text;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, StatusNotifierToolTip& toolTip) {
    argument.beginStructure();
    argument >> toolTip.iconName >> toolTip.pixmaps >> toolTip.title >> toolTip.text;
    argument.endStructure();
    return argument;
}

StatusNotifierItem::StatusNotifierItem(QDBusConnection bus, QString id, QDBusObjectPath menu, QObject* parent)
    : QObject(parent),
      bus_(std::move(bus)),
      id_(std::move(id)),
      menu_(std::move(menu)),
      watcher_(QString::fromLatin1(watcherService), bus_, QDBusServiceWatcher::WatchForRegistration) {
    qDBusRegisterMetaType<StatusNotifierPixmap>();
    qDBusRegisterMetaType<StatusNotifierPixmaps>();
    qDBusRegisterMetaType<StatusNotifierToolTip>();
    qRegisterMetaType<StatusNotifierPixmaps>("nerivane::StatusNotifierPixmaps");
    if (!bus_.isConnected()) return;
    const auto contents = QDBusConnection::ExportScriptableSlots | QDBusConnection::ExportScriptableSignals |
                          QDBusConnection::ExportAllProperties;
    if (!bus_.registerObject(QString::fromLatin1(objectPath), this, contents))
        Log("app").error("cannot export the tray item at " + std::string(objectPath));
    // The name hosts conventionally expect; the unique name serves as well
    // when another copy of us (same PID in another namespace) holds it.
    const QString name = QStringLiteral("org.kde.StatusNotifierItem-%1-1").arg(QCoreApplication::applicationPid());
    ownsService_ = bus_.registerService(name);
    service_ = ownsService_ ? name : bus_.baseService();
    connect(&watcher_, &QDBusServiceWatcher::serviceRegistered, this, &StatusNotifierItem::handleWatcherRegistered);
}

StatusNotifierItem::~StatusNotifierItem() {
    if (!bus_.isConnected()) return;
    bus_.unregisterObject(QString::fromLatin1(objectPath));
    if (ownsService_) bus_.unregisterService(service_);
}

bool StatusNotifierItem::watcherPresent() const {
    const auto* interface = bus_.isConnected() ? bus_.interface() : nullptr;
    return interface != nullptr && interface->isServiceRegistered(QString::fromLatin1(watcherService)).value();
}

void StatusNotifierItem::registerWithWatcher() {
    if (active_) return;
    active_ = true;
    handleWatcherRegistered();
}

void StatusNotifierItem::stop() {
    active_ = false;
    watcher_.setWatchedServices({});
    if (ownsService_) bus_.unregisterService(service_);
    ownsService_ = false;
}

void StatusNotifierItem::handleWatcherRegistered() {
    if (!bus_.isConnected()) return;
    if (!active_) {
        emit watcherAppeared();
        return;
    }
    auto call = QDBusMessage::createMethodCall(QString::fromLatin1(watcherService),
                                               QStringLiteral("/StatusNotifierWatcher"),
                                               QString::fromLatin1(watcherService),
                                               QStringLiteral("RegisterStatusNotifierItem"));
    call << service_;
    auto* pending = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* done) {
        done->deleteLater();
        const QDBusPendingReply<> reply = *done;
        if (reply.isError()) {
            Log("app").error("the tray's watcher refused our item: " + reply.error().message().toStdString());
            return;
        }
        emit registered();
    });
}

void StatusNotifierItem::setIcon(StatusNotifierPixmaps pixmaps) {
    if (pixmaps == pixmaps_) return;
    pixmaps_ = std::move(pixmaps);
    // Only a registered item has a host listening: elsewhere (an XEmbed tray)
    // a signal a second would only wake the bus thread. A host reads all
    // properties when the item registers.
    if (active_) emit NewIcon();
}

void StatusNotifierItem::setToolTip(const QString& title, const QString& text) {
    if (title == toolTip_.title && text == toolTip_.text) return;
    toolTip_.title = title;
    toolTip_.text = text;
    if (active_) emit NewToolTip();
}

void StatusNotifierItem::setLabel(const QString& label, const QString& guide) {
    if (label == label_ && guide == labelGuide_) return;
    label_ = label;
    labelGuide_ = guide;
    if (active_) emit XAyatanaNewLabel(label_, labelGuide_);
}

void StatusNotifierItem::setAccessibleDescription(const QString& description) {
    accessibleDescription_ = description;
}

void StatusNotifierItem::Activate(int x, int y) { emit activated(QPoint(x, y)); }

void StatusNotifierItem::SecondaryActivate(int x, int y) { emit secondaryActivated(QPoint(x, y)); }

void StatusNotifierItem::ContextMenu(int x, int y) { emit contextMenuRequested(QPoint(x, y)); }

void StatusNotifierItem::Scroll(int delta, const QString& orientation) {
    const bool horizontal = orientation.compare(QLatin1String("horizontal"), Qt::CaseInsensitive) == 0;
    emit scrolled(delta, horizontal ? Qt::Horizontal : Qt::Vertical);
}

}  // namespace nerivane
