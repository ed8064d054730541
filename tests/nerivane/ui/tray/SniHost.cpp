// A stand-in StatusNotifierItem host for the tray harness: owns
// org.kde.StatusNotifierWatcher on the session bus, says a host is
// registered, and for each item that registers writes what a panel would
// read: every IconPixmap as icon-WxH.png, the ToolTip's title and text, and
// the menu's labels (com.canonical.dbusmenu). Commands, each its own run:
//   sni-host serve DIR          the watcher; rewrites DIR on every change
//   sni-host activate DIR       Activate(x, y) on the registered item, as a click
//   sni-host click DIR LABEL    clicks the menu item with that label
#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QTimer>
#include <cstdio>

namespace {

const QString itemInterface = QStringLiteral("org.kde.StatusNotifierItem");
const QString menuInterface = QStringLiteral("com.canonical.dbusmenu");

QDBusMessage call(const QString& service, const QString& path, const QString& interface, const QString& method,
                  const QVariantList& arguments) {
    auto message = QDBusMessage::createMethodCall(service, path, interface, method);
    message.setArguments(arguments);
    return QDBusConnection::sessionBus().call(message, QDBus::Block, 5000);
}

bool replied(const QDBusMessage& reply) { return reply.type() == QDBusMessage::ReplyMessage; }

QVariant unwrap(QVariant value) {
    while (value.userType() == qMetaTypeId<QDBusVariant>()) value = value.value<QDBusVariant>().variant();
    return value;
}

QVariant itemProperty(const QString& service, const QString& path, const QString& name) {
    const auto reply = call(service, path, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"), {itemInterface, name});
    return replied(reply) ? unwrap(reply.arguments().value(0)) : QVariant();
}

// Reads a(iiay) into images; ARGB32 in network byte order.
QList<QImage> pixmaps(const QDBusArgument& argument) {
    QList<QImage> images;
    argument.beginArray();
    while (!argument.atEnd()) {
        int width = 0, height = 0;
        QByteArray bytes;
        argument.beginStructure();
        argument >> width >> height >> bytes;
        argument.endStructure();
        QImage image(width, height, QImage::Format_ARGB32);
        const auto* p = reinterpret_cast<const uchar*>(bytes.constData());
        for (int i = 0; i < width * height && 4 * i + 3 < bytes.size(); ++i)
            image.setPixel(i % width, i / width, qRgba(p[4 * i + 1], p[4 * i + 2], p[4 * i + 3], p[4 * i]));
        images << image;
    }
    argument.endArray();
    return images;
}

// "service" or "service/path": where the item lives.
std::pair<QString, QString> itemAddress(const QString& registered) {
    const auto slash = registered.indexOf(QLatin1Char('/'));
    if (slash < 0) return {registered, QStringLiteral("/StatusNotifierItem")};
    return {registered.left(slash), registered.mid(slash)};
}

// Labels of the menu's top level, in order; separators as "-", disabled ones in parentheses.
QStringList menuLabels(const QString& service, const QString& menuPath, QList<int>* ids = nullptr) {
    // As a panel does before it shows the menu: the application may rebuild it.
    call(service, menuPath, menuInterface, QStringLiteral("AboutToShow"), {0});
    const auto reply = call(service, menuPath, menuInterface, QStringLiteral("GetLayout"), {0, -1, QStringList()});
    QStringList labels;
    if (!replied(reply) || reply.arguments().size() < 2) return labels;
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
        entry.beginStructure();
        entry >> id >> properties;
        entry.endStructure();
        if (!properties.value(QStringLiteral("visible"), true).toBool()) continue;
        QString label = properties.value(QStringLiteral("type")).toString() == QStringLiteral("separator")
                            ? QStringLiteral("-")
                            : properties.value(QStringLiteral("label")).toString().remove(QLatin1Char('&'));
        labels << (properties.value(QStringLiteral("enabled"), true).toBool() ? label : "(" + label + ")");
        if (ids) *ids << id;
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
            QDBusConnection::sessionBus().connect(address, path, itemInterface, QString::fromLatin1(signal), this, SLOT(dump()));
        emit StatusNotifierItemRegistered(name);
        QTimer::singleShot(0, this, &Watcher::dump);
    }
    Q_SCRIPTABLE void RegisterStatusNotifierHost(const QString&) {}

    void dump() {
        if (items_.isEmpty()) return;
        const auto [service, path] = itemAddress(items_.back());
        const QDir directory(directory_);
        const auto icons = pixmaps(itemProperty(service, path, QStringLiteral("IconPixmap")).value<QDBusArgument>());
        for (const QImage& icon : icons) icon.save(directory.filePath(QStringLiteral("icon-%1x%2.png").arg(icon.width()).arg(icon.height())));
        const QDBusArgument tip = itemProperty(service, path, QStringLiteral("ToolTip")).value<QDBusArgument>();
        QString iconName, title, text;
        tip.beginStructure();
        tip >> iconName;
        pixmaps(tip);
        tip >> title >> text;
        tip.endStructure();
        const QString menuPath = itemProperty(service, path, QStringLiteral("Menu")).value<QDBusObjectPath>().path();
        QFile file(directory.filePath(QStringLiteral("item.txt")));
        if (!file.open(QIODevice::WriteOnly)) return;
        const QStringList lines{"service " + items_.back(), "icons " + QString::number(icons.size()),
                                "title " + title.replace(QLatin1Char('\n'), QLatin1String("\\n")),
                                "text " + text.replace(QLatin1Char('\n'), QLatin1String("\\n")),
                                "menu " + menuLabels(service, menuPath).join(QLatin1Char('|'))};
        file.write((lines.join(QLatin1Char('\n')) + "\n").toUtf8());
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
    if (command == QLatin1String("activate")) return replied(call(service, path, itemInterface, QStringLiteral("Activate"), {10, 10})) ? 0 : 1;
    if (command == QLatin1String("click") && arguments.size() > 3) {
        const QString menuPath = itemProperty(service, path, QStringLiteral("Menu")).value<QDBusObjectPath>().path();
        QList<int> ids;
        const auto index = menuLabels(service, menuPath, &ids).indexOf(arguments.at(3));
        if (index < 0) return 1;
        return replied(call(service, menuPath, menuInterface, QStringLiteral("Event"),
                            {ids.at(index), QStringLiteral("clicked"), QVariant::fromValue(QDBusVariant(QString())),
                             static_cast<uint>(QDateTime::currentSecsSinceEpoch())}))
                   ? 0
                   : 1;
    }
    return 2;
}

#include "SniHost.moc"
