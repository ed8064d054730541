// The popup with the program's real places, the snapshot switch writing each
// page, and saving history from the popup.

#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QSignalSpy>

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

QStringList labels(const QWidget& root) {
    QStringList texts;
    for (const QLabel* label : root.findChildren<QLabel*>()) texts << label->text();
    return texts;
}

TEST(PopoverWiring, RealPlacesShowTheHistoryCardBoundToTheStateAndTheSettingsPage) {
    fixLook(false);
    PopoverHarness harness;
    scenes::good(harness);
    harness.state.setChartRange(ChartRange::day);
    // The default build's checker: no feed, so no updates section.
    Updater updater(harness.preferences, Updater::Options{});
    auto view = harness.view({}, PopoverPlaces::make(*harness.model, harness.state, &updater));
    auto* card = view->column()->findChild<HistoryCard*>();
    ASSERT_NE(card, nullptr);
    EXPECT_EQ(card->range(), ChartRange::day) << "the card opens on the remembered range";
    card->setTarget(ChartTarget::router);
    EXPECT_EQ(harness.state.chartTarget(), ChartTarget::router) << "the choice is remembered for the next opening";
    EXPECT_EQ(view->column()->findChild<SettingsView*>(), nullptr);
    harness.state.setShowingSettings(true);
    EXPECT_TRUE(view->column()->findChild<SettingsView*>() && !view->column()->findChild<HistoryCard*>()) << "the page replaces the cards";
    EXPECT_FALSE(labels(*view->column()).contains("UPDATES")) << "the checker is off";

    // A build with a feed (on loopback; the first check is far off) shows the section.
    Updater::Options enabled;
    enabled.feed = QUrl(QStringLiteral("http://127.0.0.1:9/feed.xml"));
    enabled.firstCheckDelay = std::chrono::hours(1);
    Updater checker(harness.preferences, enabled);
    auto withUpdates = harness.view({}, PopoverPlaces::make(*harness.model, harness.state, &checker));
    EXPECT_TRUE(labels(*withUpdates->column()).contains("UPDATES"));
}

TEST(PopoverWiring, SnapshotSwitchWritesEachPage) {
    // The paused page always; the others when a person looks at the pictures.
    QTemporaryDir scratch;
    const bool looking = !qEnvironmentVariableIsEmpty("NERIVANE_PICTURES");
    const QString folder = looking ? qEnvironmentVariable("NERIVANE_PICTURES") : scratch.path();
    for (const std::string page : {"paused", "settings", "first-run", "default"}) {
        if (page != "paused" && !looking) break;
        SCOPED_TRACE(page);
        fixLook(false);
        PopoverHarness harness;
        scenes::good(harness);
        const QString file = QDir(folder).filePath(QStringLiteral("wired-%1.png").arg(QString::fromStdString(page)));
        const auto switches = *PopoverSnapshot::Switches::read([&](const char* name) -> std::optional<std::string> {
            if (std::string(name) == "NERIVANE_POPOVER_SNAPSHOT") return file.toStdString();
            if (std::string(name) == "NERIVANE_POPOVER_DELAY") return "0";
            if (std::string(name) == "NERIVANE_POPOVER_PAGE" && page != "default") return page;
            return std::nullopt;
        });
        PopoverView::Options options;
        options.context = [&] { return harness.context(); };
        PopoverSnapshot snapshot(*harness.model, harness.state, {}, PopoverPlaces::make(*harness.model, harness.state), options,
                                 switches);
        QSignalSpy finished(&snapshot, &PopoverSnapshot::finished);
        snapshot.start();
        ASSERT_TRUE(waitForWidgets([&] { return finished.count() == 1; }));
        EXPECT_TRUE(finished.at(0).at(0).toBool());
        EXPECT_EQ(harness.model->pausedUntil().has_value(), page == "paused");
        EXPECT_FALSE(harness.model->detailsVisible()) << "no real popup is open";
        const QImage picture(file);
        EXPECT_EQ(picture.width(), PopoverView::width * static_cast<int>(picture.devicePixelRatio()));
        EXPECT_GT(picture.height(), 300);
    }
}

TEST(PopoverWiring, ExportWritesTheProducedBytesOrTellsWhyAndLeavesNothing) {
    PopoverHarness harness;
    History* history = harness.model->history();
    // Retention prunes by the real clock, so the event is a recent one.
    const double now = std::floor(static_cast<double>(QDateTime::currentSecsSinceEpoch()) / 60) * 60;
    history->record(NetworkEvent{NetworkEvent::Kind::spike, TargetRole::internet(0), "1.1.1.1", *ProbeAddress::parse("1.1.1.1"),
                                 now - 600, now - 590, 310.5});
    const ExportChoice choice{ExportChoice::Kind::events, ExportChoice::Range::day};
    const auto expected = CSVExport::read(history, CSVExport::Kind::events, CSVExport::Range::day, now);
    ASSERT_NE(expected.value_or("").find("spike"), std::string::npos);
    // "Everything" reaches back to the oldest stored minute, not a month of empty ones.
    const auto everything = CSVExport::read(history, CSVExport::Kind::aggregates, CSVExport::Range::all, now).value_or("");
    EXPECT_LT(std::count(everything.begin(), everything.end(), '\n'), 10);

    QTemporaryDir folder;
    QString chosen = folder.filePath(QStringLiteral("saved.csv")), suggested;
    QStringList told;
    ExportFlow flow(history, [&](const QString& path) { return suggested = path, chosen; }, [&](const QString& text) { told << text; },
                    [&] { return now; });
    QSignalSpy finished(&flow, &ExportFlow::finished);
    const auto finish = [&](int count) { return waitForWidgets([&] { return finished.count() == count; }) && finished.last().at(0).toBool(); };
    flow.start(choice);
    EXPECT_TRUE(finish(1));
    EXPECT_TRUE(suggested.endsWith(CSVExport::suggestedFileName(CSVExport::Kind::events))) << suggested.toStdString();
    QFile saved(chosen);
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    EXPECT_EQ(saved.readAll().toStdString(), *expected);
    EXPECT_TRUE(told.isEmpty());

    // /proc takes no new files, even from root: the reason is told.
    chosen = QStringLiteral("/proc/nerivane-events.csv");
    flow.start(choice);
    EXPECT_FALSE(finish(2));
    ASSERT_EQ(told.size(), 1);
    EXPECT_TRUE(told.at(0).startsWith("The file could not be saved: ") && !told.at(0).endsWith(": ")) << told.at(0).toStdString();
    EXPECT_FALSE(QFile::exists(chosen));

    // Cancelling the dialog writes nothing and tells nothing.
    chosen.clear();
    flow.start(choice);
    EXPECT_EQ(finished.count(), 3);
    EXPECT_EQ(told.size(), 1);
}

}  // namespace
}  // namespace nerivane
