// The popup built from a model fed with made-up snapshots: every scene a user
// meets, with what it shows and what assistive technology hears, drawn on
// both palettes and compared with the reference pictures (all written to
// NERIVANE_PICTURES when set, for a person to look at); the window's
// placement and size; the snapshot switches; saving history from the popup.

#include <gtest/gtest.h>

#include <QAccessible>
#include <QDateTime>
#include <QFile>
#include <QKeyEvent>
#include <QLabel>
#include <QPointer>
#include <QScreen>
#include <QSignalSpy>

#include "support/widgets/PopoverHarness.h"
#include "nerivane/export/CSVExport.h"
#include "nerivane/ui/cards/EventRow.h"
#include "nerivane/ui/history/ChartGeometry.h"
#include "nerivane/ui/history/ChartView.h"
#include "nerivane/ui/history/HistoryCard.h"
#include "nerivane/ui/popover/ExportFlow.h"
#include "nerivane/ui/popover/PopoverWindow.h"

// Designated initializers name only the actions a case uses.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace nerivane {
namespace {

using namespace test;

void collectAccessible(QAccessibleInterface* node, QStringList& names, int depth = 0) {
    if (node == nullptr || depth > 40) return;
    if (!node->text(QAccessible::Name).isEmpty()) names << node->text(QAccessible::Name);
    if (!node->text(QAccessible::Description).isEmpty()) names << node->text(QAccessible::Description);
    for (int i = 0; i < node->childCount(); ++i) collectAccessible(node->child(i), names, depth + 1);
}

// The labels' texts, then the names a screen reader hears.
QStringList words(QWidget& view) {
    QStringList texts;
    for (const auto* label : view.findChildren<QLabel*>()) texts << label->text();
    collectAccessible(QAccessible::queryAccessibleInterface(&view), texts);
    return texts;
}

// Fraction of pixels whose colour differs by more than a little (antialiasing
// and font hinting differ slightly between machines; layout changes do not).
double differingShare(const QImage& a, const QImage& b) {
    long differing = 0;
    for (int row = 0; row < a.height(); ++row)
        for (int column = 0; column < a.width(); ++column) {
            const QRgb p = a.pixel(column, row), q = b.pixel(column, row);
            differing += std::max({std::abs(qRed(p) - qRed(q)), std::abs(qGreen(p) - qGreen(q)), std::abs(qBlue(p) - qBlue(q))}) > 48;
        }
    return static_cast<double>(differing) / (a.width() * a.height());
}

TEST(Popover, EverySceneShowsItsWordsAndThreeMatchTheReferences) {
    const QString references = qEnvironmentVariable("NERIVANE_SOURCE_DIR") + "/tests/nerivane/ui/popover/reference/";
    const bool looking = !qEnvironmentVariableIsEmpty("NERIVANE_PICTURES");
    const std::tuple<const char*, void (*)(PopoverHarness&), std::vector<const char*>> all[] = {
        {"good", scenes::good,
         {"Good", "INTERNET", "ROUTER", "nas.home.arpa", "192.168.1.1", "IPv6", "3 lost in the last minute",
          "2606:4700:4700::1111"}},
        {"outage-incident", scenes::outageIncident,
         {"Internet down at 3:02 PM, 31s: 1.1.1.1, 8.8.8.8, and 1.1.1.1 over IPv6"}},
        {"dns-failing", [](PopoverHarness& h) { scenes::lookups(h, true); },
         {"Name lookups failing", "192.168.1.1 \u00b7 last answer 2 min ago"}},
        {"dns-slow", [](PopoverHarness& h) { scenes::lookups(h, false); }, {"Name lookups slow", "192.168.1.1 \u00b7 1.5 s \u00b7 no failures"}},
        {"under-load", scenes::underLoad,
         {"UNDER LOAD", "F", "+480 ms", "Queue beyond the router", "during an upload at 12 Mbit/s, 4 minutes ago", "A", "+12 ms",
          "during a download at 85 Mbit/s, 25 minutes ago", "Upload: grade F, unusable while busy, 480 milliseconds added, "
          "queue beyond the router, during an upload at 12 Mbit/s, 4 minutes ago",
          "Median 12 milliseconds, p95 up to 560 milliseconds, loss 0%, throughput up to 12 Mbit/s sent and 85 Mbit/s received"}},
        {"internet-down", scenes::internetDown, {"Internet down", "Router is fine, but no internet host answers."}},
        {"provider-down", scenes::providerDown,
         {"Provider's network down", "PROVIDER", "100.64.0.1",
          "Your router is fine; its upstream 100.64.0.1 doesn't answer either. Call your provider."}},
        {"local-problem", scenes::localProblem,
         {"WI\u2011FI", "19 milliseconds", "7 of 60 lost", "4.2 milliseconds", "signal -58 dBm", "signal to noise 34 dB",
          "Spike at 2:15 PM, 9s: router, worst 212 milliseconds", "Outage at 1:01 PM, 42s: 1.1.1.1", "Copy diagnostics"}},
        {"after-outage", scenes::afterOutage,
         {"The internet is fine. The router is slow to answer ping.", "52% lost, most during the outage at 3:04 PM",
          "Answers its own pings slowly; traffic through it is fine"}},
        {"vpn-ipv6", scenes::vpnWithIPv6Problem,
         {"The internet is fine. The router can't be measured.", "Router can't be reached through the VPN", "TCP",
          "No reply since 3:00 PM"}},
        {"offline", scenes::offline, {"No network since 3:01 PM.", "Offline since 3:01 PM"}},
        {"paused", scenes::paused, {"Paused until 4:05 PM"}},
        {"first-run", scenes::firstRun, {"WELCOME"}},
        {"first-snapshot", [](PopoverHarness& h) { h.deliver(scenes::snapshot(path(NetworkPath::Kind::ethernet), {}, {}, {})); },
         {"Measuring", "No router on this network"}},
        {"nothing-resolved",
         [](PopoverHarness& h) { h.deliver(scenes::snapshot(path(NetworkPath::Kind::ethernet), Verdict::internetUnmeasured, {}, {})); },
         {"No internet host resolved"}},
        {"lookups",
         [](PopoverHarness& h) {
             const auto ok = TargetState::ok();
             auto shown = scenes::snapshot(path(NetworkPath::Kind::ethernet), Verdict::good, ok,
                                           {measured(scenes::router, ok, 1.2), measured(scenes::cloudflare, ok, 12.3)});
             shown.unresolved = {{TargetRole::internet(1), "dns.example", HostLookup::State::notFound},
                                 {TargetRole::custom(0), "nas.home.arpa", HostLookup::State::lookingUp},
                                 {TargetRole::custom(1), "printer.lan", HostLookup::State::notFound}};
             h.deliver(shown);
         },
         {"dns.example not found", "Looking up nas.home.arpa\u2026", "printer.lan not found"}},
    };
    for (const bool dark : {false, true}) {
        for (const auto& [name, make, shown] : all) {
            const QString file = QStringLiteral("popup-%1-%2.png").arg(name, dark ? "dark" : "light");
            const bool referenced = QFile::exists(references + file);
            // The words are read on the light palette; the dark one is drawn for the references and for a person.
            if (dark && !referenced && !looking) continue;
            SCOPED_TRACE(file.toStdString());
            fixLook(dark);
            PopoverHarness harness;
            make(harness);
            PopoverActions actions{.exportData = [](CSVExport::Choice) {}, .copyDiagnostics = [](std::function<void()> done) { done(); }};
            PopoverView::Places places;
            if (!referenced) {  // every control the footer can bring, with stand-ins
                actions.dismissFirstRun = [&] { harness.state.dismissFirstRun(harness.preferences); };
                actions.availableUpdate = [] { return std::optional<QString>("1.2.0"); };
                actions.installUpdate = [] {};
                places.settingsPage = [] { return new QLabel(QStringLiteral("(the settings page)")); };
            }
            HistoryCard* history = nullptr;
            if (make == scenes::underLoad) {
                places.historyCard = [&] {
                    return history = new HistoryCard(harness.preferences, scenes::underLoadHour, [&] { return harness.clock; });
                };
            }
            auto view = harness.view(actions, places);
            QImage fresh = harness.picture(*view);
            if (history != nullptr) {  // it reads once shown
                ASSERT_TRUE(waitForWidgets([&] { return !history->buckets().empty(); }));
                fresh = harness.picture(*view);
            }
            keepPicture(fresh, file);
            const QStringList texts = words(*view);
            for (const char* text : shown) EXPECT_TRUE(texts.contains(text)) << text;
            // Without latency under load there is no card for it.
            if (make == scenes::good) {
                EXPECT_FALSE(texts.contains("UNDER LOAD"));
            }
            if (looking && make == scenes::good) {
                harness.state.setShowingSettings(true);
                keepPicture(PopoverSnapshot::render(*view), QStringLiteral("settings-%1.png").arg(dark ? "dark" : "light"));
            }
            if (!referenced) continue;
            if (qEnvironmentVariableIsSet("NERIVANE_UPDATE_REFERENCES")) fresh.save(references + file);
            const QImage reference(references + file);
            ASSERT_EQ(fresh.size(), reference.size()) << "the layout changed";
            EXPECT_LT(differingShare(fresh, reference), 0.01);
        }
    }
}

// The popup stays open while an outage ends on one target after another:
// each event joins the one incident row at once. A new user's chart reads
// "no data yet" before the first recorded minute, not "not running".
TEST(Popover, TheOpenPopupFollowsOneOutageIntoOneIncidentRow) {
    for (const bool dark : {false, true}) {
        SCOPED_TRACE(dark ? "dark" : "light");
        fixLook(dark);
        PopoverHarness harness;
        // No probe records: nothing is stored yet.
        harness.deliver(scenes::snapshot(path(NetworkPath::Kind::ethernet), Verdict::good, TargetState::ok(),
                                         {measured(scenes::router, TargetState::ok(), 1.2),
                                          measured(scenes::cloudflare, TargetState::ok(), 12.3)}));
        HistoryCard* history = nullptr;
        PopoverView::Places places{.historyCard = [&] { return history = new HistoryCard(*harness.model); }};
        auto view = harness.view({}, places);
        harness.picture(*view);
        ASSERT_TRUE(waitForWidgets([&] { return history != nullptr && !history->buckets().empty(); }));
        const auto runs = ChartGeometry::layout(history->buckets(), history->range(), 20, QRectF(0, 0, 600, 127),
                                                [](const QString&) { return 0.0; }, history->chart().firstRecorded())
                              .runs;
        ASSERT_FALSE(runs.empty());
        EXPECT_EQ(runs.front().name, "no data yet");

        EventsCard* card = view->eventsCard();
        const QStringList titles[] = {{"Outage \u00b7 1.1.1.1"},
                                      {"Internet down \u00b7 1.1.1.1, 8.8.8.8"},
                                      {"Internet down \u00b7 1.1.1.1, 8.8.8.8, IPv6"}};
        for (std::size_t i = 0; i < scenes::outageTargets.size(); ++i) {
            harness.deliver(Monitor::EventUpdate{scenes::outageOf(harness, i)});
            ASSERT_EQ(view->eventsCard(), card) << "the same card, not a new popup";
            QStringList shown;
            for (const auto* row : card->findChildren<EventRow*>()) shown << row->texts().title + " \u00b7 " + row->texts().targets;
            EXPECT_EQ(shown, titles[i]);
        }
        keepPicture(PopoverSnapshot::render(*view), QStringLiteral("popup-live-incident-%1.png").arg(dark ? "dark" : "light"));
    }
}

TEST(PopoverWindow, PlacementStaysBesideTheItemAndOnTheScreen) {
    // A 1000 x 800 screen whose available area starts below a 30-pixel top panel.
    const QRect screen(0, 30, 1000, 770);
    // The item (none: no geometry), the cursor, where the popup goes.
    for (const auto& [anchor, cursor, expected] :
         {std::tuple{QRect(490, 4, 22, 22), QPoint(), QPoint(350, 30)}, {QRect(970, 4, 22, 22), {}, {700, 30}},
          {QRect(2, 775, 22, 22), {}, {0, 571}}, {QRect(), {990, 790}, {696, 596}}, {QRect(), {5, 5}, {4, 34}}})
        EXPECT_EQ(PopoverWindow::placement(QSize(300, 200), anchor, screen, cursor), QRect(expected, QSize(300, 200))) << anchor.x();
}

TEST(Popover, WindowFitsItsContentUpToTheScreen) {
    fixLook(false);
    PopoverHarness harness;
    // Wrapped text in the first-run card: the height estimate is at its worst.
    scenes::firstRun(harness);
    PopoverWindow window;
    window.setView(harness.view().release());
    const QRect item(100, 0, 22, 22);
    window.showAnchored(item);
    // The room below the item: the popup never covers the item it hangs from.
    QRect room = window.screen()->availableGeometry();
    room.setTop(item.bottom() + 1 + 4);
    // It settles once the layouts have run: nothing scrolls, or the screen is full.
    const auto settled = [&] { return window.view()->overflow() == 0 || window.height() == room.height(); };
    ASSERT_TRUE(waitForWidgets(settled));
    EXPECT_LE(window.height(), room.height());
    EXPECT_TRUE(room.contains(window.geometry()));

    // Refreshes with the same content leave the window alone (once a
    // display server has answered the first resizes).
    const auto refresh = [&] {
        for (int i = 0; i < 3; ++i) {
            scenes::firstRun(harness);
            waitForWidgets([] { return false; }, 50);
        }
    };
    refresh();
    const QRect before = window.geometry();
    refresh();
    EXPECT_EQ(window.geometry(), before);
    EXPECT_TRUE(settled());

    // A card more makes it taller, never past the screen.
    scenes::good(harness);
    ASSERT_TRUE(waitForWidgets([&] { return window.height() > before.height() && settled(); }));
    EXPECT_LE(window.height(), room.height());
    EXPECT_FALSE(window.geometry().intersects(item));

    // Screen readers reach it (a top-level of the application's accessible tree); Escape closes it.
    QAccessibleInterface* application = QAccessible::queryAccessibleInterface(qApp);
    bool listed = false;
    for (int i = 0; i < application->childCount(); ++i) listed = listed || application->child(i)->object() == &window;
    EXPECT_TRUE(listed);
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(&window, &escape);
    EXPECT_FALSE(window.isVisible());
}

// New figures and states for the same targets go into the cards shown (the
// same widgets, so focus stays, with new spoken values, looking as if made
// anew); other targets, new cards.
TEST(Popover, CardsStayWhileTheTargetsDo) {
    fixLook(true);
    PopoverHarness harness;
    const auto deliver = [&](double median, TargetState state, bool withNas) {
        std::vector<TargetSnapshot> targets{measured(scenes::router, TargetState::ok(), 1.2),
                                            measured(scenes::cloudflare, state, median)};
        if (withNas) targets.push_back(measured(scenes::nas, TargetState::ok(), 2.4));
        harness.deliver(scenes::snapshot(path(NetworkPath::Kind::ethernet), Verdict::good, TargetState::ok(), targets));
    };
    deliver(12, TargetState::ok(), false);
    auto view = harness.view();
    const auto median = [&] {
        for (auto* label : view->column()->findChildren<QLabel*>())
            if (label->accessibleDescription() == "med") return QPointer(label);
        return QPointer<QLabel>();
    };
    const QPointer<QLabel> before = median();
    ASSERT_TRUE(before);
    EXPECT_EQ(before->accessibleName(), "12 milliseconds");
    deliver(14.2, TargetState::down(), false);
    EXPECT_EQ(median(), before);
    EXPECT_EQ(before->accessibleName(), "14 milliseconds");
    const QImage updated = harness.picture(*view);
    keepPicture(updated, QStringLiteral("popup-updated-in-place.png"));
    EXPECT_EQ(updated, harness.picture(*harness.view())) << "as if made anew";
    deliver(14.2, TargetState::ok(), true);
    EXPECT_TRUE(before.isNull());
    EXPECT_EQ(median()->accessibleName(), "14 milliseconds");
}

TEST(Popover, SnapshotSwitchesAreReadAndBadValuesFallBack) {
    // Variables as "NAME=value;..." (NERIVANE_POPOVER_ left out); then the file, delay, page and range read, or none.
    using S = PopoverSnapshot::Switches;
    const std::pair<const char*, std::optional<S>> rows[] = {
        {"DELAY=1", std::nullopt},
        {"SNAPSHOT=", std::nullopt},
        {"SNAPSHOT=/p.png;DELAY=soon", S{"/p.png", 15, "", {}}},
        {"SNAPSHOT=/p.png;DELAY=-3", S{"/p.png", 15, "", {}}},
        {"SNAPSHOT=/p.png;DELAY=2.5;PAGE=first-run;RANGE=week", S{"/p.png", 2.5, "first-run", ChartRange::week}},
        {"SNAPSHOT=/p.png;PAGE=history;RANGE=month", S{"/p.png", 15, "", {}}},
    };
    for (const auto& [variables, expected] : rows) {
        const auto read = S::read([&](const char* name) -> std::optional<std::string> {
            for (const QString& pair : QString(variables).split(';'))
                if ("NERIVANE_POPOVER_" + pair.section('=', 0, 0) == name) return pair.section('=', 1).toStdString();
            return std::nullopt;
        });
        EXPECT_EQ(read, expected) << variables;
    }
}

TEST(Popover, ExportWritesTheProducedBytesOrTellsWhyAndLeavesNothing) {
    PopoverHarness harness;
    History* history = harness.model->history();
    // Retention prunes by the real clock, so the event is a recent one.
    const double now = std::floor(static_cast<double>(QDateTime::currentSecsSinceEpoch()) / 60) * 60;
    history->record(NetworkEvent{NetworkEvent::Kind::spike, TargetRole::internet(0), "1.1.1.1", *ProbeAddress::parse("1.1.1.1"),
                                 now - 600, now - 590, 310.5});
    const CSVExport::Choice choice{CSVExport::Kind::events, CSVExport::Range::day};
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
