// A stand-in StatusNotifierItem host for the tray harness: owns
// org.kde.StatusNotifierWatcher on the session bus, says a host is
// registered, and for each item that registers writes what a panel would
// read: every IconPixmap as icon-WxH.png, the ToolTip's title and text, and
// the menu's labels (com.canonical.dbusmenu). Commands, each its own run:
//   sni-host serve DIR          the watcher; rewrites DIR on every change
//   sni-host activate DIR       Activate(x, y) on the registered item, as a click
//   sni-host click DIR LABEL    clicks the menu item with that label
#include <QCoreApplication>
#include <QDBusAbstractAdaptor>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusReply>
#include <QDBusVariant>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QTimer>
#include <cstdio>

namespace {

const QString itemInterface = QStringLiteral("org.kde.StatusNotifierItem");
const QString propertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");
const QString menuInterface = QStringLiteral("com.canonical.dbusmenu");

struct Pixmap {
    int width = 0;
    int height = 0;
    QByteArray bytes;
};

QList<Pixmap> pixmaps(const QDBusArgument& argument) {
    QList<Pixmap> list;
    argument.beginArray();
    while (!argument.atEnd()) {
        Pixmap pixmap;
        argument.beginStructure();
        argument >> pixmap.width >> pixmap.height >> pixmap.bytes;
        argument.endStructure();
        list << pixmap;
    }
    argument.endArray();
    return list;
}

QDBusArgument argumentOf(const QVariant& value) {
    QVariant inner = value;
    if (inner.userType() == qMetaTypeId<QDBusVariant>()) inner = inner.value<QDBusVariant>().variant();
    return inner.value<QDBusArgument>();
}

QVariant itemProperty(const QString& service, const QString& path, const QString& interface, const QString& name) {
    auto message = QDBusMessage::createMethodCall(service, path, propertiesInterface, QStringLiteral("Get"));
    message << interface << name;
    const QDBusMessage reply = QDBusConnection::sessionBus().call(message, QDBus::Block, 5000);
    if (reply.type() != QDBusMessage::ReplyMessage) return {};
    const QVariant value = reply.arguments().value(0);
    return value.userType() == qMetaTypeId<QDBusVariant>() ? value.value<QDBusVariant>().variant() : value;
}

// "service" or "service/path": where the item lives.
std::pair<QString, QString> itemAddress(const QString& registered) {
    const auto slash = registered.indexOf(QLatin1Char('/'));
    if (slash < 0) return {registered, QStringLiteral("/StatusNotifierItem")};
    return {registered.left(slash), registered.mid(slash)};
}

// Labels of the menu's top level, in order; separators as "-".
QStringList menuLabels(const QString& service, const QString& menuPath, QList<int>* ids = nullptr) {
    // As a panel does before it shows the menu: the application may rebuild it.
    auto opening = QDBusMessage::createMethodCall(service, menuPath, menuInterface, QStringLiteral("AboutToShow"));
    opening << 0;
    QDBusConnection::sessionBus().call(opening, QDBus::Block, 5000);
    auto message = QDBusMessage::createMethodCall(service, menuPath, menuInterface, QStringLiteral("GetLayout"));
    message << 0 << -1 << QStringList();
    const QDBusMessage reply = QDBusConnection::sessionBus().call(message, QDBus::Block, 5000);
    QStringList labels;
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() < 2) return labels;
    const QDBusArgument layout = reply.arguments().at(1).value<QDBusArgument>();
    int id = 0;
    QVariantMap properties;
    layout.beginStructure();
    layout >> id >> properties;
    layout.beginArray();
    while (!layout.atEnd()) {
        QDBusVariant child;
        layout >> child;
        const QDBusArgument entry = child.variant().value<QDBusArgument>();
        int childId = 0;
        QVariantMap childProperties;
        entry.beginStructure();
        entry >> childId >> childProperties;
        entry.endStructure();
        if (childProperties.value(QStringLiteral("visible"), true).toBool()) {
            QString label = childProperties.value(QStringLiteral("type")).toString() == QStringLiteral("separator")
                                ? QStringLiteral("-")
                                : childProperties.value(QStringLiteral("label")).toString().remove(QLatin1Char('&'));
            if (!childProperties.value(QStringLiteral("enabled"), true).toBool()) label = "(" + label + ")";
            labels << label;
            if (ids) *ids << childId;
        }
    }
    layout.endArray();
    layout.endStructure();
    return labels;
}

class Watcher : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ items)
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ hostRegistered)
    Q_PROPERTY(int ProtocolVersion READ protocolVersion)

public:
    explicit Watcher(QString directory) : directory_(std::move(directory)) {}

    QStringList items() const { return items_; }
    bool hostRegistered() const { return true; }
    int protocolVersion() const { return 0; }

public slots:
    Q_SCRIPTABLE void RegisterStatusNotifierItem(const QString& service, const QDBusMessage& message) {
        // An item may give its object path alone: then the sender is the service.
        const QString name = service.startsWith(QLatin1Char('/')) ? message.service() + service : service;
        if (!items_.contains(name)) items_ << name;
        const auto [address, path] = itemAddress(name);
        for (const char* signal : {"NewIcon", "NewToolTip", "NewStatus", "NewTitle"})
            QDBusConnection::sessionBus().connect(address, path, itemInterface, QString::fromLatin1(signal), this,
                                                  SLOT(dump()));
        emit StatusNotifierItemRegistered(name);
        QTimer::singleShot(0, this, &Watcher::dump);
    }
    Q_SCRIPTABLE void RegisterStatusNotifierHost(const QString&) {}

    void dump() {
        if (items_.isEmpty()) return;
        const auto [service, path] = itemAddress(items_.back());
        QDir directory(directory_);
        int index = 0;
        for (const auto& pixmap : pixmaps(argumentOf(itemProperty(service, path, itemInterface, QStringLiteral("IconPixmap"))))) {
            // ARGB32 in network byte order.
            QImage image(pixmap.width, pixmap.height, QImage::Format_ARGB32);
            for (int y = 0; y < pixmap.height; ++y)
                for (int x = 0; x < pixmap.width; ++x) {
                    const auto* p = reinterpret_cast<const uchar*>(pixmap.bytes.constData()) + 4 * (y * pixmap.width + x);
                    image.setPixel(x, y, qRgba(p[1], p[2], p[3], p[0]));
                }
            image.save(directory.filePath(QStringLiteral("icon-%1x%2.png").arg(pixmap.width).arg(pixmap.height)));
            index += 1;
        }
        const QDBusArgument tip = argumentOf(itemProperty(service, path, itemInterface, QStringLiteral("ToolTip")));
        QString iconName, title, text;
        tip.beginStructure();
        tip >> iconName;
        pixmaps(tip);
        tip >> title >> text;
        tip.endStructure();
        const QString menuPath = itemProperty(service, path, itemInterface, QStringLiteral("Menu")).value<QDBusObjectPath>().path();
        QFile file(directory.filePath(QStringLiteral("item.txt")));
        if (file.open(QIODevice::WriteOnly)) {
            file.write(("service " + items_.back() + "\nicons " + QString::number(index) + "\ntitle " +
                        QString(title).replace(QLatin1Char('\n'), QLatin1String("\\n")) +
                        "\ntext " + QString(text).replace(QLatin1Char('\n'), QLatin1String("\\n")) + "\nmenu " +
                        menuLabels(service, menuPath).join(QLatin1Char('|')) + "\n")
                           .toUtf8());
        }
    }

signals:
    Q_SCRIPTABLE void StatusNotifierItemRegistered(const QString& service);
    Q_SCRIPTABLE void StatusNotifierHostRegistered();

private:
    QString directory_;
    QStringList items_;
};

QString registeredItem(const QString& directory) {
    QFile file(QDir(directory).filePath(QStringLiteral("item.txt")));
    if (!file.open(QIODevice::ReadOnly)) return {};
    for (const auto& line : QString::fromUtf8(file.readAll()).split(QLatin1Char('\n')))
        if (line.startsWith(QLatin1String("service "))) return line.mid(8);
    return {};
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    const QStringList arguments = application.arguments();
    if (arguments.size() < 3) {
        std::fprintf(stderr, "usage: sni-host serve|activate|click DIR [LABEL]\n");
        return 2;
    }
    const QString command = arguments.at(1), directory = arguments.at(2);
    auto bus = QDBusConnection::sessionBus();
    if (command == QLatin1String("serve")) {
        Watcher watcher(directory);
        if (!bus.registerObject(QStringLiteral("/StatusNotifierWatcher"), &watcher,
                                QDBusConnection::ExportScriptableContents | QDBusConnection::ExportAllProperties) ||
            !bus.registerService(QStringLiteral("org.kde.StatusNotifierWatcher"))) {
            std::fprintf(stderr, "sni-host: cannot own org.kde.StatusNotifierWatcher\n");
            return 1;
        }
        return QCoreApplication::exec();
    }
    const QString item = registeredItem(directory);
    if (item.isEmpty()) return 1;
    const auto [service, path] = itemAddress(item);
    if (command == QLatin1String("activate")) {
        auto message = QDBusMessage::createMethodCall(service, path, itemInterface, QStringLiteral("Activate"));
        message << 10 << 10;
        return bus.call(message, QDBus::Block, 5000).type() == QDBusMessage::ReplyMessage ? 0 : 1;
    }
    if (command == QLatin1String("click") && arguments.size() > 3) {
        const QString menuPath = itemProperty(service, path, itemInterface, QStringLiteral("Menu")).value<QDBusObjectPath>().path();
        QList<int> ids;
        const QStringList labels = menuLabels(service, menuPath, &ids);
        const auto index = labels.indexOf(arguments.at(3));
        if (index < 0) return 1;
        auto message = QDBusMessage::createMethodCall(service, menuPath, menuInterface, QStringLiteral("Event"));
        message << ids.at(index) << QStringLiteral("clicked") << QVariant::fromValue(QDBusVariant(QString()))
                << static_cast<uint>(QDateTime::currentSecsSinceEpoch());
        return bus.call(message, QDBus::Block, 5000).type() == QDBusMessage::ReplyMessage ? 0 : 1;
    }
    return 2;
}

#include "SniHost.moc"
