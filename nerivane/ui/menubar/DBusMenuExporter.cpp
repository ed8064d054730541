#include "nerivane/ui/menubar/DBusMenuExporter.h"

#include <QActionEvent>
#include <QActionGroup>
#include <QDBusMetaType>
#include <QGuiApplication>
#include <QKeySequence>
#include <QSet>
#include <QTimer>

#include "NerivaneKit/platform/Log.h"

namespace nerivane {
namespace {

// A shortcut as the protocol spells it: [["Control", "q"]], one list per chord.
QList<QStringList> shortcutKeys(const QKeySequence& sequence) {
    QList<QStringList> chords;
    for (int i = 0; i < sequence.count(); ++i) {
        const QKeyCombination combination = sequence[static_cast<uint>(i)];
        QStringList keys;
        const Qt::KeyboardModifiers modifiers = combination.keyboardModifiers();
        if (modifiers & Qt::ControlModifier) keys << QStringLiteral("Control");
        if (modifiers & Qt::AltModifier) keys << QStringLiteral("Alt");
        if (modifiers & Qt::ShiftModifier) keys << QStringLiteral("Shift");
        if (modifiers & Qt::MetaModifier) keys << QStringLiteral("Super");
        keys << QKeySequence(combination.key()).toString(QKeySequence::PortableText);
        chords << keys;
    }
    return chords;
}

QVariantMap filtered(const QVariantMap& properties, const QStringList& names) {
    if (names.isEmpty()) return properties;
    QVariantMap kept;
    for (const QString& name : names) {
        if (properties.contains(name)) kept.insert(name, properties.value(name));
    }
    return kept;
}

// The distinct values of a list in their first order; none when there are
// more than `limit`. Stops counting there, so a huge list costs no more.
template <typename T, typename Key>
std::optional<QList<T>> distinct(const QList<T>& values, qsizetype limit, Key key) {
    QList<T> kept;
    QSet<decltype(key(values.value(0)))> seen;
    for (const T& value : values) {
        if (seen.contains(key(value))) continue;
        if (kept.size() == limit) return std::nullopt;
        seen.insert(key(value));
        kept << value;
    }
    return kept;
}

const auto itself = [](const auto& value) { return value; };

}  // namespace

QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuItem& item) {
    argument.beginStructure();
    argument << item.id << item.properties;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuItem& item) {
    argument.beginStructure();
    argument >> item.id >> item.properties;
    argument.endStructure();
    return argument;
}

QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuItemKeys& keys) {
    argument.beginStructure();
    argument << keys.id << keys.names;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuItemKeys& keys) {
    argument.beginStructure();
    argument >> keys.id >> keys.names;
    argument.endStructure();
    return argument;
}

QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuLayoutItem& item) {
    argument.beginStructure();
    argument << item.id << item.properties;
    argument.beginArray(qMetaTypeId<QDBusVariant>());
    for (const DBusMenuLayoutItem& child : item.children) argument << QDBusVariant(QVariant::fromValue(child));
    argument.endArray();
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuLayoutItem& item) {
    argument.beginStructure();
    argument >> item.id >> item.properties;
    argument.beginArray();
    item.children.clear();
    while (!argument.atEnd()) {
        QDBusVariant child;
        argument >> child;
        item.children << qdbus_cast<DBusMenuLayoutItem>(child.variant());
    }
    argument.endArray();
    argument.endStructure();
    return argument;
}

QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuEvent& event) {
    argument.beginStructure();
    argument << event.id << event.eventId << event.data << event.timestamp;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuEvent& event) {
    argument.beginStructure();
    argument >> event.id >> event.eventId >> event.data >> event.timestamp;
    argument.endStructure();
    return argument;
}

DBusMenuExporter::DBusMenuExporter(QMenu& menu, QDBusConnection bus, QObject* parent)
    : QObject(parent), menu_(&menu), bus_(std::move(bus)) {
    qDBusRegisterMetaType<DBusMenuItem>();
    qDBusRegisterMetaType<DBusMenuItems>();
    qDBusRegisterMetaType<DBusMenuItemKeys>();
    qDBusRegisterMetaType<DBusMenuItemKeysList>();
    qDBusRegisterMetaType<DBusMenuLayoutItem>();
    qDBusRegisterMetaType<DBusMenuEvent>();
    qDBusRegisterMetaType<DBusMenuEvents>();
    qDBusRegisterMetaType<QList<QStringList>>();
    // QtDBus finds parameter types by the names the signatures spell.
    qRegisterMetaType<DBusMenuItems>("nerivane::DBusMenuItems");
    qRegisterMetaType<DBusMenuItemKeysList>("nerivane::DBusMenuItemKeysList");
    qRegisterMetaType<DBusMenuEvents>("nerivane::DBusMenuEvents");
    menu.installEventFilter(this);
    if (!bus_.isConnected()) return;
    const auto contents = QDBusConnection::ExportScriptableSlots | QDBusConnection::ExportScriptableSignals |
                          QDBusConnection::ExportAllProperties;
    if (!bus_.registerObject(QString::fromLatin1(objectPath), this, contents))
        Log("app").error("cannot export the tray menu at " + std::string(objectPath));
}

DBusMenuExporter::~DBusMenuExporter() {
    if (bus_.isConnected()) bus_.unregisterObject(QString::fromLatin1(objectPath));
}

QString DBusMenuExporter::textDirection() const {
    return QGuiApplication::layoutDirection() == Qt::RightToLeft ? QStringLiteral("rtl") : QStringLiteral("ltr");
}

QString DBusMenuExporter::label(const QString& text) {
    QString out;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c == u'_') {
            out += QStringLiteral("__");
        } else if (c != u'&') {
            out += c;
        } else if (i + 1 < text.size()) {
            // "&&" is a literal ampersand; "&x" makes x the mnemonic.
            out += text.at(i + 1) == u'&' ? QChar(u'&') : QChar(u'_');
            if (text.at(i + 1) == u'&') ++i;
        }
    }
    return out;
}

QVariantMap DBusMenuExporter::properties(const QAction& action) {
    QVariantMap properties;
    if (action.isSeparator()) {
        properties.insert(QStringLiteral("type"), QStringLiteral("separator"));
    } else {
        properties.insert(QStringLiteral("label"), label(action.text()));
        if (action.isCheckable()) {
            const QActionGroup* group = action.actionGroup();
            const bool radio = group != nullptr && group->exclusionPolicy() != QActionGroup::ExclusionPolicy::None;
            properties.insert(QStringLiteral("toggle-type"), radio ? QStringLiteral("radio") : QStringLiteral("checkmark"));
            properties.insert(QStringLiteral("toggle-state"), action.isChecked() ? 1 : 0);
        }
        if (!action.shortcut().isEmpty())
            properties.insert(QStringLiteral("shortcut"), QVariant::fromValue(shortcutKeys(action.shortcut())));
        if (!action.icon().name().isEmpty()) properties.insert(QStringLiteral("icon-name"), action.icon().name());
        if (action.menu<QMenu*>() != nullptr) properties.insert(QStringLiteral("children-display"), QStringLiteral("submenu"));
    }
    if (!action.isEnabled()) properties.insert(QStringLiteral("enabled"), false);
    if (!action.isVisible()) properties.insert(QStringLiteral("visible"), false);
    return properties;
}

int DBusMenuExporter::idOf(QAction* action) {
    if (const auto found = ids_.constFind(action); found != ids_.constEnd()) return *found;
    const int id = nextId_++;
    ids_.insert(action, id);
    actions_.insert(id, action);
    // A destroyed action leaves no id behind that a late click could reach.
    connect(action, &QObject::destroyed, this, [this, action, id] {
        ids_.remove(action);
        actions_.remove(id);
        published_.remove(id);
    });
    return id;
}

QMenu* DBusMenuExporter::menuOf(int id) const {
    if (id == 0) return menu_.data();
    const QAction* action = actions_.value(id).data();
    return action != nullptr ? action->menu<QMenu*>() : nullptr;
}

std::optional<DBusMenuLayoutItem> DBusMenuExporter::layout(int id, int depth, const QStringList& names) {
    DBusMenuLayoutItem item{id, {}, {}};
    if (id == 0) {
        if (!menu_) return std::nullopt;
        item.properties.insert(QStringLiteral("children-display"), QStringLiteral("submenu"));
    } else {
        QAction* action = actions_.value(id).data();
        if (action == nullptr) return std::nullopt;
        item.properties = properties(*action);
        published_.insert(id, item.properties);
    }
    item.properties = filtered(item.properties, names);
    QMenu* submenu = menuOf(id);
    if (depth == 0 || submenu == nullptr) return item;
    // Changes to a submenu's actions are announced like the menu's own.
    if (id != 0) submenu->installEventFilter(this);
    for (QAction* action : submenu->actions()) {
        if (auto child = layout(idOf(action), depth < 0 ? -1 : depth - 1, names)) item.children << *child;
    }
    return item;
}

void DBusMenuExporter::refuseLongList(const char* what, qsizetype limit) {
    if (calledFromDBus())
        sendErrorReply(QDBusError::LimitsExceeded, QStringLiteral("at most %1 distinct %2 per call").arg(limit).arg(QLatin1String(what)));
}

uint DBusMenuExporter::GetLayout(int parentId, int recursionDepth, const QStringList& propertyNames,
                                 DBusMenuLayoutItem& result) {
    const auto names = distinct(propertyNames, nameLimit, itself);
    if (!names) {
        refuseLongList("property names", nameLimit);
    } else if (auto found = layout(parentId, recursionDepth, *names)) {
        result = *found;
    } else if (calledFromDBus()) {
        sendErrorReply(QDBusError::InvalidArgs, QStringLiteral("no menu item %1").arg(parentId));
    }
    return revision_;
}

DBusMenuItems DBusMenuExporter::GetGroupProperties(const QList<int>& ids, const QStringList& propertyNames) {
    DBusMenuItems items;
    const auto distinctIds = distinct(ids, idLimit, itself);
    const auto names = distinct(propertyNames, nameLimit, itself);
    if (!distinctIds || !names) {
        refuseLongList(distinctIds ? "property names" : "ids", distinctIds ? nameLimit : idLimit);
        return items;
    }
    for (const int id : *distinctIds) {
        // Unknown ids are left out: the host asked about items it saw before a change.
        if (auto item = layout(id, 0, *names)) items << DBusMenuItem{id, item->properties};
    }
    return items;
}

QDBusVariant DBusMenuExporter::GetProperty(int id, const QString& name) {
    const auto item = layout(id, 0, {name});
    if (!item || !item->properties.contains(name)) {
        if (calledFromDBus())
            sendErrorReply(QDBusError::InvalidArgs, QStringLiteral("menu item %1 has no property %2").arg(id).arg(name));
        return QDBusVariant(QString());
    }
    return QDBusVariant(item->properties.value(name));
}

bool DBusMenuExporter::handleEvent(int id, const QString& eventId) {
    if (id != 0 && !actions_.value(id)) return false;
    if (eventId != QLatin1String("clicked")) return true;
    QAction* action = actions_.value(id).data();
    if (action == nullptr || !action->isEnabled() || action->isSeparator()) return true;
    // From the event loop: the reply goes out first, and the action may quit
    // the program or rebuild the menu it came from.
    QMetaObject::invokeMethod(action, &QAction::trigger, Qt::QueuedConnection);
    return true;
}

void DBusMenuExporter::Event(int id, const QString& eventId, const QDBusVariant&, uint) {
    if (!handleEvent(id, eventId) && calledFromDBus())
        sendErrorReply(QDBusError::InvalidArgs, QStringLiteral("no menu item %1").arg(id));
}

QList<int> DBusMenuExporter::EventGroup(const DBusMenuEvents& all) {
    QList<int> errors;
    // One click per item and kind of event: a repeated one would toggle back.
    const auto events = distinct(all, idLimit, [](const DBusMenuEvent& event) { return qMakePair(event.id, event.eventId); });
    if (!events) {
        refuseLongList("events", idLimit);
        return errors;
    }
    for (const DBusMenuEvent& event : *events) {
        if (!handleEvent(event.id, event.eventId)) errors << event.id;
    }
    if (!events->isEmpty() && errors.size() == events->size() && calledFromDBus())
        sendErrorReply(QDBusError::InvalidArgs, QStringLiteral("none of the menu items exists"));
    return errors;
}

bool DBusMenuExporter::AboutToShow(int id) {
    QMenu* menu = menuOf(id);
    if (menu == nullptr) return false;
    const uint before = revision_;
    // The owner rebuilds the menu here, as it does before a local popup.
    emit menu->aboutToShow();
    return revision_ != before;
}

QList<int> DBusMenuExporter::AboutToShowGroup(const QList<int>& all, QList<int>& idErrors) {
    QList<int> updates;
    const auto ids = distinct(all, idLimit, itself);
    if (!ids) {
        refuseLongList("ids", idLimit);
        return updates;
    }
    for (const int id : *ids) {
        if (id != 0 && !actions_.value(id)) {
            idErrors << id;
        } else if (AboutToShow(id)) {
            updates << id;
        }
    }
    return updates;
}

bool DBusMenuExporter::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
    case QEvent::ActionAdded:
    case QEvent::ActionRemoved:
        revision_ += 1;
        scheduleLayoutUpdate();
        break;
    case QEvent::ActionChanged:
        handleActionChanged(static_cast<QActionEvent*>(event)->action());
        break;
    default: break;
    }
    return QObject::eventFilter(watched, event);
}

void DBusMenuExporter::handleActionChanged(QAction* action) {
    const int id = ids_.value(action, -1);
    if (id < 0 || !published_.contains(id)) return;
    const QVariantMap before = published_.value(id);
    const QVariantMap now = properties(*action);
    if (now == before) return;
    published_.insert(id, now);
    QVariantMap changed;
    QStringList removed;
    for (auto it = now.cbegin(); it != now.cend(); ++it) {
        if (before.value(it.key()) != it.value()) changed.insert(it.key(), it.value());
    }
    for (auto it = before.cbegin(); it != before.cend(); ++it) {
        if (!now.contains(it.key())) removed << it.key();
    }
    emit ItemsPropertiesUpdated(changed.isEmpty() ? DBusMenuItems{} : DBusMenuItems{{id, changed}},
                                removed.isEmpty() ? DBusMenuItemKeysList{} : DBusMenuItemKeysList{{id, removed}});
}

void DBusMenuExporter::scheduleLayoutUpdate() {
    if (layoutUpdatePending_) return;
    layoutUpdatePending_ = true;
    QTimer::singleShot(0, this, [this] {
        layoutUpdatePending_ = false;
        emit LayoutUpdated(revision_, 0);
    });
}

}  // namespace nerivane
