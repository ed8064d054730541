// The tray item's controller over the model driven by a fake monitor: one
// render per change of what the item shows, the context menu's items and
// rules, the popup on click and on a notification, and the first-run card's
// 3-second rule.

#include <gtest/gtest.h>

#include "support/widgets/WidgetsSupport.h"
#include "support/qt/ModelHarness.h"
#include "nerivane/ui/menubar/StatusItemController.h"

namespace nerivane {
namespace {

class StatusItemTest : public test::ModelTest {
protected:
    void SetUp() override {
        test::widgetsApplication();
        ModelTest::SetUp();
    }
    void TearDown() override {
        controller.reset();
        ModelTest::TearDown();
    }

    StatusItemController& make(bool firstRunShown = true) {
        preferences->setDidShowFirstRun(firstRunShown);
        auto& started = startedModel();
        controller = std::make_unique<StatusItemController>(started, *preferences, [this] { quits += 1; },
                                                            [this] { return clock; });
        return *controller;
    }

    static MonitorSnapshot measured(double latest) {
        MonitorSnapshot snapshot;
        snapshot.verdict = Verdict::good;
        snapshot.path.isSatisfied = true;
        TargetSnapshot internet;
        internet.target = {TargetRole::internet(0), "1.1.1.1", *ProbeAddress::parse("1.1.1.1")};
        internet.status = TargetStatus::icmp;
        internet.state = TargetState::ok();
        internet.metrics.latest = latest;
        snapshot.targets.push_back(internet);
        return snapshot;
    }

    QStringList menuTexts() {
        emit controller->menu().aboutToShow();
        QStringList texts;
        for (QAction* action : controller->menu().actions())
            texts << (action->isEnabled() ? action->text() : QStringLiteral("(") + action->text() + QStringLiteral(")"));
        return texts;
    }

    void trigger(const QString& text) {
        for (QAction* action : controller->menu().actions())
            if (action->text() == text) return action->trigger();
        FAIL() << "no item " << text.toStdString();
    }

    std::unique_ptr<StatusItemController> controller;
    int quits = 0;
};

TEST_F(StatusItemTest, RendersOncePerChangeAndTheMenuFollowsThePause) {
    auto& item = make();
    const int initial = item.renderCount();
    deliverSnapshot(measured(12.2));
    EXPECT_EQ(item.renderCount(), initial + 1);
    deliverSnapshot(measured(11.9));  // the same "12ms"
    EXPECT_EQ(item.renderCount(), initial + 1);
    deliverSnapshot(measured(13));
    EXPECT_EQ(item.renderCount(), initial + 2);
    EXPECT_TRUE(item.toolTip().contains("Good")) << item.toolTip().toStdString();
    EXPECT_TRUE(item.toolTip().contains("RTT  13ms")) << item.toolTip().toStdString();

    EXPECT_EQ(menuTexts(), (QStringList{"(Good)", "", "Open nerivane", "Pause for 1 Hour", "Settings\u2026",
                                        "(Check for Updates\u2026)", "", "Quit nerivane"}));
    trigger("Pause for 1 Hour");
    ASSERT_TRUE(model->pausedUntil().has_value());
    EXPECT_EQ(item.renderCount(), initial + 3) << "dimmed";
    // Paused: the header is the last accessibility label ("nerivane" without a screen reader).
    EXPECT_EQ(menuTexts(), (QStringList{"(nerivane)", "", "Open nerivane", "Resume", "Settings\u2026",
                                        "(Check for Updates\u2026)", "", "Quit nerivane"}));
    trigger("Resume");
    EXPECT_FALSE(model->pausedUntil().has_value());
    trigger("Quit nerivane");
    EXPECT_EQ(quits, 1);
}

TEST_F(StatusItemTest, ClicksToggleThePopupANotificationOnlyOpensIt) {
    auto& item = make();
    emit item.trayIcon().activated(QSystemTrayIcon::Trigger);
    ASSERT_TRUE(item.isPopoverShown());
    EXPECT_TRUE(model->detailsVisible());
    model->notifier().onOpen();
    EXPECT_TRUE(item.isPopoverShown()) << "a notification's click never closes it";
    emit item.trayIcon().activated(QSystemTrayIcon::Trigger);
    EXPECT_FALSE(item.isPopoverShown());
    EXPECT_FALSE(model->detailsVisible());
    model->notifier().onOpen();
    EXPECT_TRUE(item.isPopoverShown());
    item.popover()->hide();
}

TEST_F(StatusItemTest, FirstRunCardStaysAfterAGlanceShorterThanThreeSeconds) {
    auto& item = make(false);
    item.showFirstRunIfNeeded();
    ASSERT_TRUE(test::waitForWidgets([&] { return item.isPopoverShown(); }));
    EXPECT_TRUE(item.showingFirstRun());
    clock += 2.9;
    item.popover()->hide();
    EXPECT_TRUE(item.showingFirstRun());
    EXPECT_FALSE(preferences->didShowFirstRun());

    item.openPopover();
    clock += 3.0;
    item.popover()->hide();
    EXPECT_FALSE(item.showingFirstRun());
    EXPECT_TRUE(preferences->didShowFirstRun());
}

TEST_F(StatusItemTest, SpokenDescriptionOfTheReadout) {
    auto& started = startedModel();
    auto snapshot = measured(12.4);
    snapshot.targets[0].metrics.jitter = 1.23;
    snapshot.targets[0].metrics.sent = 40;
    snapshot.targets[0].metrics.lost = 3;  // 7.5 % rounds to 8
    TargetSnapshot router;
    router.target = {TargetRole::router(), "router", *ProbeAddress::parse("10.0.0.1")};
    router.status = TargetStatus::icmp;
    router.state = TargetState::ok();
    router.metrics.latest = 0.42;
    snapshot.targets.push_back(router);
    deliverSnapshot(snapshot);
    EXPECT_EQ(MenuBarRenderer::accessibilityLabel(started),
              "Good. Internet 12 milliseconds, jitter 1.2, loss 8 percent. Router 0.4 milliseconds.");
    // A router answering over TCP only, or down, is left out.
    snapshot.targets[1].status = TargetStatus::tcp;
    deliverSnapshot(snapshot);
    EXPECT_EQ(MenuBarRenderer::accessibilityLabel(started), "Good. Internet 12 milliseconds, jitter 1.2, loss 8 percent.");
    started.pauseForOneHour();
    const QString paused = MenuBarRenderer::accessibilityLabel(started);
    EXPECT_TRUE(paused.startsWith("Paused until ") && paused.endsWith(".")) << paused.toStdString();
}

}  // namespace
}  // namespace nerivane
