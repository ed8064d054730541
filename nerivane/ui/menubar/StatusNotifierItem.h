// Our tray item as an org.kde.StatusNotifierItem on the session bus: holds
// what a panel reads (icon pixmaps, tooltip, status, the label beside the
// icon, the menu's object path) and registers with the
// org.kde.StatusNotifierWatcher, again whenever a watcher appears. A host's
// clicks and scrolls come back as plain signals. Owned by the status item
// controller; main thread.
#pragma once

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QDBusServiceWatcher>
#include <QImage>
#include <QList>
#include <QObject>
#include <QPoint>
#include <QString>

namespace nerivane {

// One icon picture on the wire, (iiay): ARGB32, each pixel in network byte order.
struct StatusNotifierPixmap {
    int width = 0;
    int height = 0;
    QByteArray bytes;
    bool operator==(const StatusNotifierPixmap&) const = default;

    static StatusNotifierPixmap fromImage(const QImage& image);
};
using StatusNotifierPixmaps = QList<StatusNotifierPixmap>;

// The tooltip on the wire, (sa(iiay)ss): icon name, icon pictures, title, text.
struct StatusNotifierToolTip {
    QString iconName;
    StatusNotifierPixmaps pixmaps;
    QString title;
    QString text;
    bool operator==(const StatusNotifierToolTip&) const = default;
};

QDBusArgument& operator<<(QDBusArgument& argument, const StatusNotifierPixmap& pixmap);
const QDBusArgument& operator>>(const QDBusArgument& argument, StatusNotifierPixmap& pixmap);
QDBusArgument& operator<<(QDBusArgument& argument, const StatusNotifierToolTip& toolTip);
const QDBusArgument& operator>>(const QDBusArgument& argument, StatusNotifierToolTip& toolTip);

}  // namespace nerivane

Q_DECLARE_METATYPE(nerivane::StatusNotifierPixmap)
Q_DECLARE_METATYPE(nerivane::StatusNotifierToolTip)

namespace nerivane {

class StatusNotifierItem : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierItem")
    Q_PROPERTY(QString Category READ category)
    Q_PROPERTY(QString Id READ id)
    Q_PROPERTY(QString Title READ title)
    Q_PROPERTY(QString Status READ status)
    Q_PROPERTY(int WindowId READ windowId)
    Q_PROPERTY(QString IconName READ iconName)
    Q_PROPERTY(nerivane::StatusNotifierPixmaps IconPixmap READ iconPixmap)
    Q_PROPERTY(QString OverlayIconName READ iconName)
    Q_PROPERTY(QString AttentionIconName READ iconName)
    Q_PROPERTY(nerivane::StatusNotifierToolTip ToolTip READ toolTip)
    Q_PROPERTY(QDBusObjectPath Menu READ menu)
    Q_PROPERTY(bool ItemIsMenu READ itemIsMenu)
    Q_PROPERTY(QString XAyatanaLabel READ label)
    Q_PROPERTY(QString XAyatanaLabelGuide READ labelGuide)
    Q_PROPERTY(QString IconAccessibleDesc READ accessibleDescription)

public:
    static constexpr const char* watcherService = "org.kde.StatusNotifierWatcher";
    static constexpr const char* objectPath = "/StatusNotifierItem";

    // Exports the object on the bus and claims org.kde.StatusNotifierItem-PID-1;
    // nothing is registered with a watcher until registerWithWatcher().
    StatusNotifierItem(QDBusConnection bus, QString id, QDBusObjectPath menu, QObject* parent = nullptr);
    ~StatusNotifierItem() override;

    // Whether an org.kde.StatusNotifierWatcher owns its name now.
    bool watcherPresent() const;
    // Registers now and whenever a watcher (re)appears; stop() ends that.
    void registerWithWatcher();
    void stop();
    bool isActive() const { return active_; }

    QString category() const { return QStringLiteral("ApplicationStatus"); }
    QString id() const { return id_; }
    QString title() const { return id_; }
    QString status() const { return QStringLiteral("Active"); }
    int windowId() const { return 0; }
    // Empty: hosts draw our pixmaps, not a theme icon.
    QString iconName() const { return {}; }
    const StatusNotifierPixmaps& iconPixmap() const { return pixmaps_; }
    const StatusNotifierToolTip& toolTip() const { return toolTip_; }
    QDBusObjectPath menu() const { return menu_; }
    // Hosts show our menu on the secondary button and call Activate on the primary.
    bool itemIsMenu() const { return false; }
    const QString& label() const { return label_; }
    const QString& labelGuide() const { return labelGuide_; }
    // What a screen reader says for the icon.
    const QString& accessibleDescription() const { return accessibleDescription_; }

    // Each announces a change only when the value differs.
    void setIcon(StatusNotifierPixmaps pixmaps);
    void setToolTip(const QString& title, const QString& text);
    void setLabel(const QString& label, const QString& guide);
    // Not announced by itself: hosts read it again with the next NewIcon.
    void setAccessibleDescription(const QString& description);

public slots:
    Q_SCRIPTABLE void Activate(int x, int y);
    Q_SCRIPTABLE void SecondaryActivate(int x, int y);
    Q_SCRIPTABLE void ContextMenu(int x, int y);
    Q_SCRIPTABLE void Scroll(int delta, const QString& orientation);

signals:
    Q_SCRIPTABLE void NewTitle();
    Q_SCRIPTABLE void NewIcon();
    Q_SCRIPTABLE void NewToolTip();
    Q_SCRIPTABLE void NewStatus(const QString& status);
    Q_SCRIPTABLE void XAyatanaNewLabel(const QString& label, const QString& guide);

    // For the application: positions as the host gave them (often 0, 0).
    void activated(QPoint position);
    void secondaryActivated(QPoint position);
    void contextMenuRequested(QPoint position);
    void scrolled(int delta, Qt::Orientation orientation);
    // After a watcher accepted the item.
    void registered();
    // A watcher took its name while we were not registering (see registerWithWatcher).
    void watcherAppeared();

private:
    void handleWatcherRegistered();

    QDBusConnection bus_;
    QString id_;
    QDBusObjectPath menu_;
    // The name given to watchers: ours, or the unique name when it could not be had.
    QString service_;
    bool ownsService_ = false;
    bool active_ = false;
    QDBusServiceWatcher watcher_;
    StatusNotifierPixmaps pixmaps_;
    StatusNotifierToolTip toolTip_;
    QString label_;
    QString labelGuide_;
    QString accessibleDescription_;
};

}  // namespace nerivane
