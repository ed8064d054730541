// The popup with the program's real places, and saving history from it.

#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <algorithm>
#include <cmath>

#include "support/widgets/PopoverHarness.h"
#include "nerivane/export/CSVExport.h"
#include "nerivane/ui/history/HistoryCard.h"
#include "nerivane/ui/popover/ExportFlow.h"
#include "nerivane/ui/popover/PopoverPlaces.h"
#include "nerivane/ui/settings/SettingsView.h"
#include "nerivane/updates/Updater.h"

namespace nerivane {
namespace {

using namespace test;

TEST(PopoverWiring, RealPlacesShowTheHistoryCardBoundToTheStateAndTheSettingsPage) {
    fixLook(false);
    PopoverHarness harness;
    scenes::good(harness);
    harness.state.setChartRange(ChartRange::day);
    // The default build's checker: no feed, so no updates section.
    Updater updater(harness.preferences, Updater::Options{});
    ASSERT_FALSE(updater.isEnabled());
    auto view = harness.view({}, PopoverPlaces::make(*harness.model, harness.state, &updater));
    auto* card = view->column()->findChild<HistoryCard*>();
    ASSERT_NE(card, nullptr);
    EXPECT_EQ(card->range(), ChartRange::day) << "the card opens on the remembered range";
    card->setTarget(ChartTarget::router);
    EXPECT_EQ(harness.state.chartTarget(), ChartTarget::router) << "the choice is remembered for the next opening";
    EXPECT_EQ(view->column()->findChild<SettingsView*>(), nullptr);

    harness.state.setShowingSettings(true);
    EXPECT_EQ(view->column()->findChild<HistoryCard*>(), nullptr);
    auto* settings = view->column()->findChild<SettingsView*>();
    ASSERT_NE(settings, nullptr);
    for (const QLabel* label : settings->findChildren<QLabel*>()) {
        EXPECT_NE(label->text(), QStringLiteral("UPDATES")) << "the checker is off";
    }

    // A build with a feed (on loopback; the first check is far off) shows the section.
    Updater::Options enabled;
    enabled.feed = QUrl(QStringLiteral("http://127.0.0.1:9/feed.xml"));
    enabled.firstCheckDelay = std::chrono::hours(1);
    Updater checker(harness.preferences, enabled);
    ASSERT_TRUE(checker.isEnabled());
    auto withUpdates = harness.view({}, PopoverPlaces::make(*harness.model, harness.state, &checker));
    QStringList texts;
    for (const QLabel* label : withUpdates->column()->findChildren<QLabel*>()) texts << label->text();
    EXPECT_TRUE(texts.contains(QStringLiteral("UPDATES")));
    EXPECT_TRUE(texts.contains(QStringLiteral("check automatically")));
    EXPECT_TRUE(texts.contains(QStringLiteral("download automatically")));
}

TEST(PopoverWiring, SnapshotPagesWithTheRealPlaces) {
    const QString folder = qEnvironmentVariable("NERIVANE_PICTURES");
    if (folder.isEmpty()) GTEST_SKIP() << "NERIVANE_PICTURES names no folder to write to";
    for (const char* page : {"default", "settings", "first-run"}) {
        fixLook(false);
        PopoverHarness harness;
        scenes::good(harness);
        const QString path = QDir(folder).filePath(QStringLiteral("wired-%1.png").arg(QLatin1String(page)));
        auto switches = *PopoverSnapshot::Switches::read([&](const char* name) -> std::optional<std::string> {
            if (std::string(name) == "NERIVANE_POPOVER_SNAPSHOT") return path.toStdString();
            if (std::string(name) == "NERIVANE_POPOVER_DELAY") return "0";
            if (std::string(name) == "NERIVANE_POPOVER_PAGE" && std::string(page) != "default") return page;
            return std::nullopt;
        });
        PopoverView::Options options;
        options.context = [&] { return harness.context(); };
        PopoverSnapshot snapshot(*harness.model, harness.state, {}, PopoverPlaces::make(*harness.model, harness.state),
                                 options, switches);
        QSignalSpy finished(&snapshot, &PopoverSnapshot::finished);
        snapshot.start();
        ASSERT_TRUE(waitForWidgets([&] { return finished.count() == 1; })) << page;
        EXPECT_TRUE(finished.at(0).at(0).toBool()) << page;
    }
}

TEST(PopoverWiring, ExportWritesTheProducedBytesOrTellsWhyAndLeavesNothing) {
    PopoverHarness harness;
    History* history = harness.model->history();
    ASSERT_NE(history, nullptr);
    // Retention prunes by the real clock, so the event is a recent one.
    const double now = std::floor(static_cast<double>(QDateTime::currentSecsSinceEpoch()) / 60) * 60;
    history->record(NetworkEvent{NetworkEvent::Kind::spike, TargetRole::internet(0), "1.1.1.1",
                                 *ProbeAddress::parse("1.1.1.1"), now - 600, now - 590, 310.5});
    const ExportChoice choice{ExportChoice::Kind::events, ExportChoice::Range::day};
    const auto expected = CSVExport::read(history, CSVExport::Kind::events, CSVExport::Range::day, now);
    ASSERT_TRUE(expected.has_value());
    ASSERT_NE(expected->find("spike"), std::string::npos);

    // "Everything" reaches back to the oldest stored minute, not a month of empty ones.
    const auto everything = CSVExport::read(history, CSVExport::Kind::aggregates, CSVExport::Range::all, now);
    ASSERT_TRUE(everything.has_value());
    EXPECT_LT(std::count(everything->begin(), everything->end(), '\n'), 10) << *everything;

    QTemporaryDir folder;
    QString chosen;
    QString suggested;
    QStringList told;
    ExportFlow flow(
        history,
        [&](const QString& path) {
            suggested = path;
            return chosen;
        },
        [&](const QString& text) { told << text; }, [&] { return now; });
    QSignalSpy finished(&flow, &ExportFlow::finished);

    chosen = folder.filePath(QStringLiteral("saved.csv"));
    flow.start(choice);
    ASSERT_TRUE(waitForWidgets([&] { return finished.count() == 1; }));
    EXPECT_TRUE(finished.at(0).at(0).toBool());
    EXPECT_TRUE(suggested.endsWith(CSVExport::suggestedFileName(CSVExport::Kind::events))) << suggested.toStdString();
    QFile saved(chosen);
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    EXPECT_EQ(saved.readAll().toStdString(), *expected);
    EXPECT_TRUE(told.isEmpty());

    // /proc takes no new files, even from root.
    chosen = QStringLiteral("/proc/nerivane-events.csv");
    flow.start(choice);
    ASSERT_TRUE(waitForWidgets([&] { return finished.count() == 2; }));
    EXPECT_FALSE(finished.at(1).at(0).toBool());
    ASSERT_EQ(told.size(), 1);
    EXPECT_TRUE(told.at(0).startsWith(QStringLiteral("The file could not be saved: "))) << told.at(0).toStdString();
    EXPECT_GT(told.at(0).size(), QStringLiteral("The file could not be saved: ").size()) << "with the reason";
    EXPECT_FALSE(QFile::exists(chosen));

    // Cancelling the dialog writes nothing and tells nothing.
    chosen.clear();
    flow.start(choice);
    EXPECT_EQ(finished.count(), 3);
    EXPECT_EQ(told.size(), 1);
}

}  // namespace
}  // namespace nerivane
