// A stand-in StatusNotifierItem host for the tray harness: owns
// org.kde.StatusNotifierWatcher on the session bus, says a host is
// registered, and for each item that registers writes what a panel would
// read: every IconPixmap as icon-WxH.png, the ToolTip's title and text, the
// XAyatanaLabel beside the icon, and the menu's labels (com.canonical.dbusmenu)
// into item.txt. Commands, each its own run:
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
#include <QSaveFile>
#include <QImage>
#include <QTimer>

namespace {

const QString itemInterface = QStringLiteral("org.kde.StatusNotifierItem"), menuInterface = QStringLiteral("com.canonical.dbusmenu");

// The reply's arguments; empty when the call failed.
QVariantList call(const QString& service, const QString& path, const QString& interface, const QString& method, const QVariantList& arguments) {
    auto message = QDBusMessage::createMethodCall(service, path, interface, method);
    message.setArguments(arguments);
    const auto reply = QDBusConnection::sessionBus().call(message, QDBus::Block, 5000);
    return reply.type() == QDBusMessage::ReplyMessage ? reply.arguments() << QVariant() : QVariantList();
}

QVariant itemProperty(const QString& service, const QString& path, const char* name) {
    QVariant value = call(service, path, "org.freedesktop.DBus.Properties", "Get", {itemInterface, name}).value(0);
    while (value.userType() == qMetaTypeId<QDBusVariant>()) value = value.value<QDBusVariant>().variant();
    return value;
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
    return slash < 0 ? std::pair{registered, QStringLiteral("/StatusNotifierItem")} : std::pair{registered.left(slash), registered.mid(slash)};
}

// Labels of the menu's top level, in order; separators as "-", disabled ones in parentheses.
QStringList menuLabels(const QString& service, const QString& menuPath, QList<int>* ids = nullptr) {
    // As a panel does before it shows the menu: the application may rebuild it.
    call(service, menuPath, menuInterface, "AboutToShow", {0});
    const auto reply = call(service, menuPath, menuInterface, "GetLayout", {0, -1, QStringList()});
    QStringList labels;
    if (reply.size() < 3) return labels;
    const auto layout = reply.at(1).value<QDBusArgument>();
    int id = 0;
    QVariantMap properties;
    layout.beginStructure();
    layout >> id >> properties;
    layout.beginArray();
    while (!layout.atEnd()) {
        QDBusVariant child;
        layout >> child;
        const auto entry = child.variant().value<QDBusArgument>();
        entry.beginStructure();
        entry >> id >> properties;
        entry.endStructure();
        if (!properties.value("visible", true).toBool()) continue;
        const QString label = properties.value("type") == "separator" ? "-" : properties.value("label").toString().remove('&');
        labels << (properties.value("enabled", true).toBool() ? label : "(" + label + ")");
        if (ids) *ids << id;
    }
    return labels;
}

class Watcher : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems MEMBER items_)
    Q_PROPERTY(bool IsStatusNotifierHostRegistered MEMBER hostRegistered_)
    Q_PROPERTY(int ProtocolVersion MEMBER protocolVersion_)

public:
    explicit Watcher(QString directory) : directory_(std::move(directory)) {}

public slots:
    Q_SCRIPTABLE void RegisterStatusNotifierItem(const QString& service, const QDBusMessage& message) {
        // An item may give its object path alone: then the sender is the service.
        const QString name = service.startsWith('/') ? message.service() + service : service;
        if (!items_.contains(name)) items_ << name;
        const auto [address, path] = itemAddress(name);
        for (const char* signal : {"NewIcon", "NewToolTip", "NewStatus", "NewTitle", "XAyatanaNewLabel"})
            QDBusConnection::sessionBus().connect(address, path, itemInterface, signal, this, SLOT(dump()));
        emit StatusNotifierItemRegistered(name);
        QTimer::singleShot(0, this, &Watcher::dump);
    }
    Q_SCRIPTABLE void RegisterStatusNotifierHost(const QString&) {}

    void dump() {
        const auto [service, path] = itemAddress(items_.back());
        const QDir directory(directory_);
        for (const QImage& icon : pixmaps(itemProperty(service, path, "IconPixmap").value<QDBusArgument>()))
            icon.save(directory.filePath(QStringLiteral("icon-%1x%2.png").arg(icon.width()).arg(icon.height())));
        const auto tip = itemProperty(service, path, "ToolTip").value<QDBusArgument>();
        QString iconName, title, text;
        tip.beginStructure();
        tip >> iconName;
        pixmaps(tip);
        tip >> title >> text;
        const QString menuPath = itemProperty(service, path, "Menu").value<QDBusObjectPath>().path();
        // Whole or not at all: the harness reads it while we rewrite it.
        QSaveFile file(directory.filePath("item.txt"));
        if (file.open(QIODevice::WriteOnly)) {
            file.write(QStringList{"service " + items_.back(), "title " + title.replace('\n', "\\n"), "text " + text.replace('\n', "\\n"),
                                   "label " + itemProperty(service, path, "XAyatanaLabel").toString(),
                                   "menu " + menuLabels(service, menuPath).join('|'), ""}
                           .join('\n')
                           .toUtf8());
            file.commit();
        }
    }

signals:
    Q_SCRIPTABLE void StatusNotifierItemRegistered(const QString& service);
    Q_SCRIPTABLE void StatusNotifierHostRegistered();

private:
    QString directory_;
    QStringList items_;
    bool hostRegistered_ = true;
    int protocolVersion_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    const QStringList arguments = application.arguments();
    if (arguments.size() < 3) return 2;
    const QString command = arguments.at(1), directory = arguments.at(2);
    auto bus = QDBusConnection::sessionBus();
    if (command == "serve") {
        Watcher watcher(directory);
        const auto exports = QDBusConnection::ExportScriptableContents | QDBusConnection::ExportAllProperties;
        if (!bus.registerObject("/StatusNotifierWatcher", &watcher, exports) || !bus.registerService("org.kde.StatusNotifierWatcher")) return 1;
        return QCoreApplication::exec();
    }
    QFile file(QDir(directory).filePath("item.txt"));
    if (!file.open(QIODevice::ReadOnly)) return 1;
    const auto [service, path] = itemAddress(QString::fromUtf8(file.readLine()).trimmed().mid(8));
    if (command == "activate") return call(service, path, itemInterface, "Activate", {10, 10}).isEmpty();
    const QString menuPath = itemProperty(service, path, "Menu").value<QDBusObjectPath>().path();
    QList<int> ids;
    const auto index = menuLabels(service, menuPath, &ids).indexOf(arguments.value(3));
    if (command != "click" || index < 0) return 1;
    const auto time = static_cast<uint>(QDateTime::currentSecsSinceEpoch());
    return call(service, menuPath, menuInterface, "Event", {ids.at(index), "clicked", QVariant::fromValue(QDBusVariant(QString())), time}).isEmpty();
}

#include "SniHost.moc"
