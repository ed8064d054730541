// The tray menu as com.canonical.dbusmenu publishes it: the mapping of a
// QMenu's actions (mnemonics, separators, toggles, radio groups, disabled and
// hidden items, shortcuts, submenus), property filters and depth, change
// announcements with only what changed, clicks, a rebuild on AboutToShow;
// then read as a host reads it, over a private bus, where lists that ask
// too much are refused.

#include <gtest/gtest.h>

#include <QActionGroup>
#include <QDBusPendingCall>
#include <QSignalSpy>

#include "nerivane/ui/menubar/DBusMenuExporter.h"
#include "support/qt/PrivateBus.h"
#include "support/widgets/WidgetsSupport.h"

namespace nerivane {
namespace {

class DBusMenuTest : public test::BusTest {
    void SetUp() override { test::widgetsApplication(), BusTest::SetUp(); }
};

TEST_F(DBusMenuTest, PublishesTheMenusActionsAndTheirChanges) {
    QMenu menu, more;
    QAction* open = menu.addAction("&Open a_b");
    menu.addAction("Fish && &Chips")->setEnabled(false);
    menu.addSeparator();
    QAction* fast = menu.addAction("Fast");
    fast->setCheckable(true);
    fast->setChecked(true);
    QActionGroup group(&menu);
    for (const char* text : {"One", "Two"}) group.addAction(menu.addAction(text))->setCheckable(true);
    menu.addAction("Hidden")->setVisible(false);
    more.addAction("Deep");
    menu.addMenu(&more)->setText("More");
    menu.addAction("Quit")->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));

    DBusMenuExporter exporter(menu, *client);
    const auto root = exporter.layout(0, -1);
    ASSERT_TRUE(root);
    using V = QVariantMap;
    const QList<V> expected{
        {{"label", "_Open a__b"}},
        {{"label", "Fish & _Chips"}, {"enabled", false}},
        {{"type", "separator"}},
        {{"label", "Fast"}, {"toggle-type", "checkmark"}, {"toggle-state", 1}},
        {{"label", "One"}, {"toggle-type", "radio"}, {"toggle-state", 0}},
        {{"label", "Two"}, {"toggle-type", "radio"}, {"toggle-state", 0}},
        {{"label", "Hidden"}, {"enabled", false}, {"visible", false}},  // Qt disables what it hides
        {{"label", "More"}, {"children-display", "submenu"}},
        {{"label", "Quit"}, {"shortcut", QVariant::fromValue(QList<QStringList>{{"Control", "Q"}})}},
    };
    ASSERT_EQ(root->children.size(), expected.size());
    for (qsizetype i = 0; i < expected.size(); ++i) EXPECT_EQ(root->children[i].properties, expected[i]) << i;
    EXPECT_EQ(root->children[7].children.size(), 1) << "the submenu's item";
    EXPECT_TRUE(exporter.layout(0, 1)->children[7].children.isEmpty()) << "one level only";
    EXPECT_EQ(exporter.layout(root->children[3].id, 0, {"toggle-state", "nothing"})->properties, (V{{"toggle-state", 1}}));
    EXPECT_FALSE(exporter.layout(999, -1)) << "an unknown id";

    // Only what changed: a new value, then a property gone back to its default.
    QSignalSpy properties(&exporter, &DBusMenuExporter::ItemsPropertiesUpdated);
    open->setEnabled(false);
    open->setEnabled(true);
    ASSERT_EQ(properties.count(), 2);
    EXPECT_EQ(properties[0][0].value<DBusMenuItems>(), (DBusMenuItems{{root->children[0].id, {{"enabled", false}}}}));
    EXPECT_EQ(properties[1][1].value<DBusMenuItemKeysList>(), (DBusMenuItemKeysList{{root->children[0].id, {"enabled"}}}));

    // A click toggles from the event loop; an unknown id is refused.
    exporter.Event(root->children[3].id, "clicked", QDBusVariant(QString()), 0);
    EXPECT_EQ(exporter.EventGroup({{999, "clicked", QDBusVariant(QString()), 0}}), QList<int>{999});
    QCoreApplication::processEvents();
    EXPECT_FALSE(fast->isChecked());

    // The owner rebuilds on AboutToShow: the host hears of a new layout once.
    QObject::connect(&menu, &QMenu::aboutToShow, &menu, [&] { menu.addAction("Added"); menu.removeAction(open); });
    QSignalSpy layouts(&exporter, &DBusMenuExporter::LayoutUpdated);
    EXPECT_TRUE(exporter.AboutToShow(0));
    QCoreApplication::processEvents();
    ASSERT_EQ(layouts.count(), 1);
    EXPECT_EQ(layouts[0][0].toUInt(), exporter.revision());
    EXPECT_EQ(exporter.layout(0, -1)->children.last().properties.value("label"), "Added");

    // Over the bus: every member is on the interface (list types need their
    // names registered), and the nested layout arrives whole.
    const QDBusConnection host = bus->connect(QStringLiteral("menu-host"));
    const auto call = [&](const char* interface, const char* method, const QVariantList& arguments = {}) {
        auto message = QDBusMessage::createMethodCall(client->baseService(), "/MenuBar", interface, method);
        message.setArguments(arguments);
        return host.call(message, QDBus::BlockWithGui, 5000);
    };
    const QString xml = call("org.freedesktop.DBus.Introspectable", "Introspect").arguments().value(0).toString();
    for (const char* member : {"GetLayout", "GetGroupProperties", "GetProperty", "Event", "EventGroup", "AboutToShow",
                               "AboutToShowGroup", "ItemsPropertiesUpdated", "LayoutUpdated", "ItemActivationRequested"})
        EXPECT_TRUE(xml.contains(QStringLiteral("name=\"%1\"").arg(member))) << member;
    const QDBusMessage reply = call("com.canonical.dbusmenu", "GetLayout", {0, -1, QStringList()});
    ASSERT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
    const auto wire = qdbus_cast<DBusMenuLayoutItem>(reply.arguments().at(1));
    EXPECT_EQ(wire.children.last().properties.value("label").toString(), "Added");
    EXPECT_EQ(wire.children.at(6).children.size(), 1) << "the submenu's item";
    EXPECT_EQ(call("com.canonical.dbusmenu", "Event", {999, "clicked", QVariant::fromValue(QDBusVariant(0)), 0u}).type(),
              QDBusMessage::ErrorMessage);

    // Lists that ask too much: a repeated id is answered once; more distinct
    // ids, events or names than the limits are refused, and a burst of such
    // calls leaves the connection answering.
    const int fastId = root->children[3].id;
    const QDBusMessage repeated = call("com.canonical.dbusmenu", "GetGroupProperties",
                                       {QVariant::fromValue(QList<int>{fastId, fastId, 999, fastId}), QStringList{"label", "label"}});
    ASSERT_EQ(repeated.type(), QDBusMessage::ReplyMessage) << repeated.errorMessage().toStdString();
    EXPECT_EQ(qdbus_cast<DBusMenuItems>(repeated.arguments().at(0)), (DBusMenuItems{{fastId, {{"label", "Fast"}}}}));
    QList<int> ids(100000);
    for (int i = 0; i < ids.size(); ++i) ids[i] = i % 2 == 0 ? fastId : i;
    DBusMenuEvents clicks;
    for (int i = 0; i < 1000; ++i) clicks << DBusMenuEvent{i, "clicked", QDBusVariant(0), 0};
    const QStringList names(1000, "label");
    QStringList distinctNames;
    for (int i = 0; i < 1000; ++i) distinctNames << QString::number(i);
    const std::vector<std::pair<const char*, QVariantList>> tooMuch{
        {"GetGroupProperties", {QVariant::fromValue(ids), QStringList()}},
        {"GetGroupProperties", {QVariant::fromValue(QList<int>{fastId}), distinctNames}},
        {"GetLayout", {0, -1, distinctNames}},
        {"AboutToShowGroup", {QVariant::fromValue(ids)}},
        {"EventGroup", {QVariant::fromValue(clicks)}},
    };
    for (const auto& [method, arguments] : tooMuch) {
        const QDBusMessage refused = call("com.canonical.dbusmenu", method, arguments);
        EXPECT_EQ(refused.errorName(), "org.freedesktop.DBus.Error.LimitsExceeded") << method;
    }
    EXPECT_FALSE(fast->isChecked()) << "no click of the refused group went through";
    EXPECT_EQ(call("com.canonical.dbusmenu", "GetLayout", {0, 0, names}).type(), QDBusMessage::ReplyMessage)
        << "repeated names are one";
    std::vector<QDBusPendingCall> burst;
    for (int i = 0; i < 20; ++i) {
        auto message = QDBusMessage::createMethodCall(client->baseService(), "/MenuBar", "com.canonical.dbusmenu", "GetGroupProperties");
        message.setArguments({QVariant::fromValue(ids), QStringList()});
        burst.push_back(host.asyncCall(message));
    }
    EXPECT_EQ(call("com.canonical.dbusmenu", "GetLayout", {0, -1, QStringList()}).type(), QDBusMessage::ReplyMessage);
    for (auto& pending : burst) {
        EXPECT_TRUE(test::waitUntil([&] { return pending.isFinished(); }, 10000));
        EXPECT_TRUE(pending.isError());
    }
}

}  // namespace
}  // namespace nerivane
