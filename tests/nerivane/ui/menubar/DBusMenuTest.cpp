// The tray menu as com.canonical.dbusmenu publishes it: the mapping of a
// QMenu's actions (mnemonics, separators, toggles, radio groups, disabled and
// hidden items, shortcuts, submenus), property filters and depth, change
// announcements with only what changed, clicks, a rebuild on AboutToShow;
// then read as a host reads it, over a private bus.

#include <gtest/gtest.h>

#include <QActionGroup>
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
}

}  // namespace
}  // namespace nerivane
