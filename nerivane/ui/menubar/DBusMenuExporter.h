// Publishes a QMenu as com.canonical.dbusmenu (version 3) on the session
// bus, so a StatusNotifierItem host draws the very menu the XEmbed tray
// shows: the menu stays one definition. Watches the menu's actions and
// announces layout and property changes; a host's "clicked" triggers the
// action. Item ids are given to actions as they are first published and
// never reused; id 0 is the menu itself. Owned by the status item
// controller, whose menu outlives it; main thread.
#pragma once

#include <QAction>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusVariant>
#include <QHash>
#include <QList>
#include <QMenu>
#include <QObject>
#include <QPointer>
#include <QVariantMap>
#include <optional>

namespace nerivane {

// (ia{sv}): an item's properties.
struct DBusMenuItem {
    int id = 0;
    QVariantMap properties;
    bool operator==(const DBusMenuItem&) const = default;
};
using DBusMenuItems = QList<DBusMenuItem>;

// (ias): names of properties an item no longer has.
struct DBusMenuItemKeys {
    int id = 0;
    QStringList names;
    bool operator==(const DBusMenuItemKeys&) const = default;
};
using DBusMenuItemKeysList = QList<DBusMenuItemKeys>;

// (ia{sv}av): an item, its properties and its children, each child a variant.
struct DBusMenuLayoutItem {
    int id = 0;
    QVariantMap properties;
    QList<DBusMenuLayoutItem> children;
};

// (isvu): one event of EventGroup.
struct DBusMenuEvent {
    int id = 0;
    QString eventId;
    QDBusVariant data;
    uint timestamp = 0;
};
using DBusMenuEvents = QList<DBusMenuEvent>;

QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuItem& item);
const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuItem& item);
QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuItemKeys& keys);
const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuItemKeys& keys);
QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuLayoutItem& item);
const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuLayoutItem& item);
QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuEvent& event);
const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuEvent& event);

}  // namespace nerivane

Q_DECLARE_METATYPE(nerivane::DBusMenuItem)
Q_DECLARE_METATYPE(nerivane::DBusMenuItemKeys)
Q_DECLARE_METATYPE(nerivane::DBusMenuLayoutItem)
Q_DECLARE_METATYPE(nerivane::DBusMenuEvent)

namespace nerivane {

class DBusMenuExporter : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.canonical.dbusmenu")
    Q_PROPERTY(uint Version READ version)
    Q_PROPERTY(QString TextDirection READ textDirection)
    Q_PROPERTY(QString Status READ status)
    Q_PROPERTY(QStringList IconThemePath READ iconThemePath)

public:
    static constexpr const char* objectPath = "/MenuBar";
    // A host asks about the few dozen items a menu has. A call with more
    // distinct ids (or events) or property names than these is refused, so
    // no caller makes a reply of megabytes or holds the connection's thread;
    // repeated ones are answered once.
    static constexpr qsizetype idLimit = 256;
    static constexpr qsizetype nameLimit = 64;

    // Exports at objectPath when the bus is connected; the menu outlives us.
    DBusMenuExporter(QMenu& menu, QDBusConnection bus, QObject* parent = nullptr);
    ~DBusMenuExporter() override;

    uint version() const { return 3; }
    QString textDirection() const;
    QString status() const { return QStringLiteral("normal"); }
    QStringList iconThemePath() const { return {}; }
    uint revision() const { return revision_; }

    // The item with that id and its children depth levels down (-1: all),
    // each with the named properties (empty: all). Nullopt for an unknown id.
    std::optional<DBusMenuLayoutItem> layout(int id, int depth, const QStringList& names = {});
    // An action's properties as the protocol names them, defaults left out.
    static QVariantMap properties(const QAction& action);
    // Qt's mnemonic ("&Open", "a && b") as the protocol's ("_Open", "a & b"); "_" doubled.
    static QString label(const QString& text);

public slots:
    Q_SCRIPTABLE uint GetLayout(int parentId, int recursionDepth, const QStringList& propertyNames,
                                nerivane::DBusMenuLayoutItem& layout);
    Q_SCRIPTABLE nerivane::DBusMenuItems GetGroupProperties(const QList<int>& ids, const QStringList& propertyNames);
    Q_SCRIPTABLE QDBusVariant GetProperty(int id, const QString& name);
    Q_SCRIPTABLE void Event(int id, const QString& eventId, const QDBusVariant& data, uint timestamp);
    Q_SCRIPTABLE QList<int> EventGroup(const nerivane::DBusMenuEvents& events);
    Q_SCRIPTABLE bool AboutToShow(int id);
    Q_SCRIPTABLE QList<int> AboutToShowGroup(const QList<int>& ids, QList<int>& idErrors);

signals:
    Q_SCRIPTABLE void ItemsPropertiesUpdated(const nerivane::DBusMenuItems& updatedProps,
                                             const nerivane::DBusMenuItemKeysList& removedProps);
    Q_SCRIPTABLE void LayoutUpdated(uint revision, int parent);
    Q_SCRIPTABLE void ItemActivationRequested(int id, uint timestamp);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // The id of an action, given on first use.
    int idOf(QAction* action);
    // The menu id 0 stands for, or an action's submenu; null for none.
    QMenu* menuOf(int id) const;
    // Answers a bus caller that its list is too long.
    void refuseLongList(const char* what, qsizetype limit);
    // False (and an error reply to a bus caller) for an unknown id.
    bool handleEvent(int id, const QString& eventId);
    void handleActionChanged(QAction* action);
    void scheduleLayoutUpdate();

    QPointer<QMenu> menu_;
    QDBusConnection bus_;
    QHash<int, QPointer<QAction>> actions_;
    QHash<QAction*, int> ids_;
    // The last properties each item was published with, for change announcements.
    QHash<int, QVariantMap> published_;
    int nextId_ = 1;
    // Raised at every change of the menu's structure; LayoutUpdated follows once per turn of the event loop.
    uint revision_ = 1;
    bool layoutUpdatePending_ = false;
};

}  // namespace nerivane
