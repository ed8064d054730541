// The tray menu as com.canonical.dbusmenu publishes it: the mapping of a
// QMenu's actions (mnemonics, separators, toggles, radio groups, disabled and
// hidden items, shortcuts, submenus), property filters and depth, change
// announcements with only what changed, clicks, and a rebuild on AboutToShow.

#include <gtest/gtest.h>

#include <QActionGroup>
#include <QSignalSpy>

#include "nerivane/ui/menubar/DBusMenuExporter.h"
#include "support/widgets/WidgetsSupport.h"

namespace nerivane {
namespace {

TEST(DBusMenu, PublishesTheMenusActionsAndTheirChanges) {
    test::widgetsApplication();
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

    DBusMenuExporter exporter(menu, QDBusConnection(QStringLiteral("none")));
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
}

}  // namespace
}  // namespace nerivane
