// The tray item's controller over the model driven by a fake monitor: one
// render per change of what the item shows, the context menu's rules, the
// popup on click and on a notification, the first-run card's 3-second rule,
// the spoken description of the readout; and the desktop portal's
// color-scheme, read at start and followed through SettingChanged, on a
// private bus with a stand-in portal, back to the fallback for "no
// preference" (the tray's own colours are read under X11: the XEmbed tray
// harness sets them on a real tray).

#include <gtest/gtest.h>

#include <QDBusVariant>
#include <QKeyEvent>
#include <QMenu>
#include <QSignalSpy>

#include "support/qt/PrivateBus.h"
#include "support/widgets/PopoverHarness.h"
#include "nerivane/ui/menubar/MenuBarRenderer.h"
#include "nerivane/ui/menubar/StatusItemController.h"
#include "nerivane/ui/menubar/TrayAppearanceWatcher.h"

namespace nerivane {
namespace {

using namespace test;

struct Item {
    PopoverHarness harness;
    int quits = 0;
    const bool welcomed = (harness.preferences.setDidShowFirstRun(true), true);
    StatusItemController controller{*harness.model, harness.preferences, [this] { quits += 1; }, [this] { return harness.clock; }};

    static MonitorSnapshot reading(double latest, double router = 0.42, TargetStatus routerStatus = TargetStatus::icmp) {
        auto internet = measured(scenes::cloudflare, TargetState::ok(), latest, 40, 3);  // 7.5 % lost rounds to 8
        internet.metrics.jitter = 1.23;
        auto gateway = measured(scenes::router, TargetState::ok(), router);
        gateway.status = routerStatus;
        return scenes::snapshot(path(NetworkPath::Kind::ethernet), Verdict::good, TargetState::ok(), {internet, gateway});
    }
    QStringList menu() {
        emit controller.menu().aboutToShow();
        QStringList texts;
        for (QAction* action : controller.menu().actions())
            texts << (action->isEnabled() ? action->text() : "(" + action->text() + ")");
        return texts;
    }
    void trigger(const QString& text) {
        for (QAction* action : controller.menu().actions())
            if (action->text() == text) return action->trigger();
        ADD_FAILURE() << "no item " << text.toStdString();
    }
};

TEST(StatusItem, RendersOncePerChangeAndTheMenuFollowsThePause) {
    Item item;
    auto& controller = item.controller;
    const int initial = controller.renderCount();
    for (const double ms : {12.2, 11.9 /* the same "12ms" */, 13.0}) item.harness.deliver(Item::reading(ms));
    EXPECT_EQ(controller.renderCount(), initial + 2);
    EXPECT_TRUE(controller.toolTip().contains("Good") && controller.toolTip().contains("RTT  13ms")) << controller.toolTip().toStdString();
    EXPECT_EQ(MenuBarRenderer::accessibilityLabel(*item.harness.model),
              "Good. Internet 13 milliseconds, jitter 1.2, loss 8 percent. Router 0.4 milliseconds.");

    const QStringList running = item.menu();
    EXPECT_EQ(running.first(), "(Good)") << "the header is a label, not a command";
    item.trigger("Pause for 1 Hour");
    ASSERT_TRUE(item.harness.model->pausedUntil().has_value());
    EXPECT_EQ(controller.renderCount(), initial + 3) << "dimmed";
    EXPECT_TRUE(MenuBarRenderer::accessibilityLabel(*item.harness.model).startsWith("Paused until "));
    QStringList paused = running;
    paused.replace(0, "(nerivane)");  // the last spoken label, without a screen reader
    paused.replace(running.indexOf("Pause for 1 Hour"), "Resume");
    EXPECT_EQ(item.menu(), paused);
    item.trigger("Resume");
    EXPECT_FALSE(item.harness.model->pausedUntil().has_value());
    item.trigger("Quit nerivane");
    EXPECT_EQ(item.quits, 1);
    // A router answering over TCP only is left out of the spoken description.
    item.harness.deliver(Item::reading(12.4, 0.42, TargetStatus::tcp));
    EXPECT_EQ(MenuBarRenderer::accessibilityLabel(*item.harness.model), "Good. Internet 12 milliseconds, jitter 1.2, loss 8 percent.");
}

TEST(StatusItem, ClicksToggleThePopupANotificationOnlyOpensIt) {
    Item item;
    auto& controller = item.controller;
    auto& model = *item.harness.model;
    emit controller.trayIcon().activated(QSystemTrayIcon::Trigger);
    ASSERT_TRUE(controller.isPopoverShown());
    EXPECT_TRUE(model.detailsVisible());
    model.notifier().onOpen();
    EXPECT_TRUE(controller.isPopoverShown()) << "a notification's click never closes it";
    emit controller.trayIcon().activated(QSystemTrayIcon::Trigger);
    EXPECT_FALSE(controller.isPopoverShown());
    EXPECT_FALSE(model.detailsVisible());
    model.notifier().onOpen();
    EXPECT_TRUE(controller.isPopoverShown());
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(controller.popover(), &escape);
    EXPECT_TRUE(waitForWidgets([&] { return !controller.isPopoverShown() && !model.detailsVisible(); })) << "Escape closes it";
}

TEST(StatusItem, FirstRunCardStaysAfterAGlanceShorterThanThreeSeconds) {
    Item item;
    auto& controller = item.controller;
    item.harness.preferences.setDidShowFirstRun(false);
    controller.showFirstRunIfNeeded();
    ASSERT_TRUE(waitForWidgets([&] { return controller.isPopoverShown(); }));
    EXPECT_TRUE(controller.showingFirstRun());
    item.harness.clock += 2.9;
    controller.popover()->hide();
    EXPECT_TRUE(controller.showingFirstRun());
    EXPECT_FALSE(item.harness.preferences.didShowFirstRun());

    controller.openPopover();
    item.harness.clock += 3.0;
    controller.popover()->hide();
    EXPECT_FALSE(controller.showingFirstRun());
    EXPECT_TRUE(item.harness.preferences.didShowFirstRun());
}

class TrayAppearanceWatcherTest : public test::BusTest {
    void SetUp() override { test::widgetsApplication(), BusTest::SetUp(); }
};

TEST_F(TrayAppearanceWatcherTest, PortalColorSchemeAndItsChanges) {
    const QString path = QStringLiteral("/org/freedesktop/portal/desktop"), settings = QStringLiteral("org.freedesktop.portal.Settings");
    const auto changed = [&](const char* group, unsigned scheme) {
        services->emitSignal(path, settings, QStringLiteral("SettingChanged"),
                             {QString::fromLatin1(group), QStringLiteral("color-scheme"), QVariant::fromValue(QDBusVariant(QVariant(scheme)))});
    };
    services->object(path).setMethod(settings, QStringLiteral("Read"), [](const QDBusMessage& call) -> std::optional<QVariantList> {
        if (call.arguments() != QVariantList{QStringLiteral("org.freedesktop.appearance"), QStringLiteral("color-scheme")})
            return std::nullopt;
        // Read answers a variant holding the setting's variant.
        return QVariantList{QVariant::fromValue(QDBusVariant(QVariant::fromValue(QDBusVariant(QVariant(2u)))))};
    });
    ASSERT_TRUE(services->own(QStringLiteral("org.freedesktop.portal.Desktop")));

    TrayAppearanceWatcher watcher(*client);
    ASSERT_TRUE(test::waitForWidgets([&] { return watcher.appearance().name == QStringLiteral("light"); }));
    EXPECT_EQ(watcher.appearance().source, TrayAppearance::Source::colorScheme);

    QSignalSpy spy(&watcher, &TrayAppearanceWatcher::appearanceChanged);
    changed("org.freedesktop.appearance", 1);
    ASSERT_TRUE(test::waitForWidgets([&] { return spy.count() == 1; }));
    EXPECT_EQ(watcher.appearance().name, QStringLiteral("dark"));
    EXPECT_EQ(watcher.appearance().source, TrayAppearance::Source::colorScheme);

    // Other settings change nothing; "no preference" falls back.
    changed("org.gnome.desktop.interface", 2);
    changed("org.freedesktop.appearance", 0);
    ASSERT_TRUE(test::waitForWidgets([&] { return spy.count() == 2; }));
    EXPECT_EQ(watcher.appearance().source, TrayAppearance::Source::fallback);
    services->release(QStringLiteral("org.freedesktop.portal.Desktop"));
}

}  // namespace
}  // namespace nerivane
