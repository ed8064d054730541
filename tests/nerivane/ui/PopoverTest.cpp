// The popup built from a model fed with made-up snapshots: the header's lines
// and the cards each state brings, the events card read from history and its
// export menu, the footer's controls, the first-run card, what assistive
// technology hears, the window's placement, visibility and size, the snapshot
// switches, and every scene drawn (compared with the reference pictures; all
// written to NERIVANE_PICTURES when set, for a person to look at).

#include <gtest/gtest.h>

#include <QAccessible>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>

#include "support/widgets/PopoverHarness.h"
#include "nerivane/ui/cards/EventRow.h"
#include "nerivane/ui/popover/PopoverFooter.h"
#include "nerivane/ui/popover/PopoverHeader.h"
#include "nerivane/ui/popover/PopoverWindow.h"

namespace nerivane {
namespace {

using namespace test;

QStringList labels(const QWidget& root) {
    QStringList texts;
    for (const auto* label : root.findChildren<QLabel*>())
        if (!label->text().isEmpty()) texts << label->text();
    return texts;
}

void collectAccessible(QAccessibleInterface* node, QStringList& names, int depth = 0) {
    if (node == nullptr || depth > 40) return;
    if (!node->text(QAccessible::Name).isEmpty()) names << node->text(QAccessible::Name);
    for (int i = 0; i < node->childCount(); ++i) collectAccessible(node->child(i), names, depth + 1);
}

struct SceneRow {
    const char* name;
    void (*make)(PopoverHarness&);
    const char* status;
    const char* explanation;
    std::vector<const char*> shown, absent;
};

TEST(Popover, HeaderAndCardsOfEachState) {
    const SceneRow rows[] = {
        {"good", scenes::good, "Good", nullptr,
         {"INTERNET", "ROUTER", "nas.home.arpa", "192.168.1.1", "IPv6", "3 lost in the last minute"}, {"WI\u2011FI"}},
        {"vpn", scenes::vpnWithIPv6Problem, "Good", "The internet is fine. The router can't be measured.",
         {"Router can't be reached through the VPN", "TCP", "No reply since 3:00 PM"}, {}},
        {"offline", scenes::offline, nullptr, "No network since 3:01 PM.", {"No network", "Offline since 3:01 PM"}, {"INTERNET"}},
        {"first snapshot", [](PopoverHarness& h) { h.deliver(scenes::snapshot(path(NetworkPath::Kind::ethernet), {}, {}, {})); },
         nullptr, nullptr, {"Measuring", "No router on this network"}, {}},
        {"nothing resolved",
         [](PopoverHarness& h) { h.deliver(scenes::snapshot(path(NetworkPath::Kind::ethernet), Verdict::internetUnmeasured, {}, {})); },
         nullptr, nullptr, {"No internet host resolved"}, {}},
        {"local problem", scenes::localProblem, nullptr, nullptr, {"WI\u2011FI"}, {}},
    };
    fixLook(false);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        PopoverHarness harness;
        row.make(harness);
        auto view = harness.view();
        EXPECT_EQ(view->header()->status(), row.status ? row.status : view->header()->status());
        EXPECT_EQ(view->header()->explanation(), row.explanation ? row.explanation : view->header()->explanation());
        const QStringList texts = labels(*view->column());
        for (const char* text : row.shown) EXPECT_TRUE(texts.contains(text)) << text;
        for (const char* text : row.absent) EXPECT_FALSE(texts.contains(text)) << text;
    }
}

TEST(Popover, HeaderAndCardsFollowLaterSnapshots) {
    fixLook(false);
    PopoverHarness harness;
    harness.version.clear();
    scenes::vpnWithIPv6Problem(harness);
    auto view = harness.view();
    EXPECT_EQ(view->header()->vpnTag(), "via VPN");
    EXPECT_EQ(view->header()->ipv6Tag(), "IPv6 problem");
    EXPECT_EQ(view->footer()->versionText(), "dev") << "a build without a version";
    // Pausing while the popup is open turns the status into the pause line.
    harness.model->pauseForOneHour();
    EXPECT_EQ(view->header()->status(), "Paused until 4:05 PM");
    harness.model->resume();
    EXPECT_EQ(view->header()->status(), "Good");

    scenes::localProblem(harness);
    EXPECT_TRUE(labels(*view->column()).contains("WI\u2011FI"));
    scenes::good(harness);  // Ethernet: the model drops the details
    EXPECT_FALSE(labels(*view->column()).contains("WI\u2011FI"));
    EXPECT_EQ(view->header()->vpnTag(), "");
    EXPECT_EQ(view->header()->ipv6Tag(), "");
    // 31 s later a new minute arrives: of the earlier one's losses (60.5 s
    // and 39.5 s ago now) only the later still counts, beside the new three.
    harness.clock += 31;
    scenes::good(harness);
    EXPECT_TRUE(labels(*view->column()).contains("4 lost in the last minute"));
}

TEST(Popover, EventsCardReadsHistoryOffTheMainThreadAndExportsTheChoice) {
    fixLook(false);
    PopoverHarness harness;
    auto empty = harness.view();
    harness.picture(*empty);
    EXPECT_TRUE(labels(*empty->eventsCard()).contains("No outages or spikes"));
    EXPECT_EQ(empty->eventsCard()->exportMenu(), nullptr) << "no export action, no export control";

    // Twelve events in history, three of them also among the model's recent ones.
    for (int i = 0; i < 12; ++i) {
        const double start = sceneClock - 5000 + i * 300;
        harness.model->history()->record(NetworkEvent{NetworkEvent::Kind::outage, scenes::cloudflare.role, "1.1.1.1",
                                                      scenes::cloudflare.address, start, start + 20, std::nullopt});
    }
    scenes::events(harness);
    std::vector<ExportChoice> chosen;
    PopoverActions actions;
    actions.exportData = [&](ExportChoice choice) { chosen.push_back(choice); };
    auto full = harness.view(actions);
    ASSERT_EQ(full->eventsCard()->events().size(), 3u) << "the model's events show until history answers";
    EXPECT_EQ(full->eventsCard()->events().front().start, sceneClock - 600) << "newest first";
    harness.picture(*full);
    const auto events = full->eventsCard()->events();
    ASSERT_EQ(events.size(), 10u);
    EXPECT_EQ(events.front().start, sceneClock - 600);
    EXPECT_TRUE(std::is_sorted(events.begin(), events.end(), [](const auto& a, const auto& b) { return a.start > b.start; }));
    EXPECT_EQ(full->eventsCard()->findChildren<EventRow*>().size(), 10);

    // Kind, then range: the menu's orders are the choice's.
    QMenu* menu = full->eventsCard()->exportMenu();
    ASSERT_NE(menu, nullptr);
    menu->actions().at(1)->menu()->actions().at(2)->trigger();
    menu->actions().at(0)->menu()->actions().at(3)->trigger();
    EXPECT_EQ(chosen, (std::vector<ExportChoice>{{ExportChoice::Kind::events, ExportChoice::Range::week},
                                                 {ExportChoice::Kind::aggregates, ExportChoice::Range::all}}));
}

TEST(Popover, FooterShowsOnlyControlsThatWork) {
    fixLook(false);
    PopoverHarness harness;
    auto bare = harness.view();
    for (auto* absent : {bare->footer()->diagnosticsButton(), bare->footer()->updateButton(), bare->footer()->settingsButton()})
        EXPECT_EQ(absent, nullptr);
    EXPECT_NE(bare->footer()->quitButton(), nullptr);

    std::function<void()> finishCopy;
    PopoverActions actions;
    actions.copyDiagnostics = [&](std::function<void()> done) { finishCopy = std::move(done); };
    actions.availableUpdate = [] { return std::optional<QString>("1.2.0"); };
    actions.installUpdate = [] {};
    PopoverView::Places places;
    places.settingsPage = [] { return new QLabel(QStringLiteral("settings page")); };
    auto view = harness.view(actions, places);
    auto* footer = view->footer();
    ASSERT_NE(footer->updateButton(), nullptr);

    // Copying, copied, then back to idle by itself.
    auto* copy = footer->diagnosticsButton();
    ASSERT_NE(copy, nullptr);
    copy->click();
    EXPECT_EQ(copy->text(), "copying");
    ASSERT_TRUE(finishCopy);
    finishCopy();
    EXPECT_EQ(copy->text(), "copied");
    EXPECT_TRUE(waitForWidgets([&] { return footer->copyState() == PopoverFooter::CopyState::idle; }));

    auto* settings = footer->settingsButton();
    ASSERT_NE(settings, nullptr);
    settings->click();
    EXPECT_EQ(settings->text(), "done");
    EXPECT_TRUE(labels(*view->column()).contains("settings page"));
    EXPECT_EQ(view->eventsCard(), nullptr) << "the settings page replaces the cards";
    PopoverSnapshot::render(*view);
    EXPECT_GE(view->header()->height(), view->header()->layout()->heightForWidth(view->header()->width()))
        << "a short page leaves the header its room";
    settings->click();
    EXPECT_FALSE(harness.state.showingSettings());
    EXPECT_NE(view->eventsCard(), nullptr);
}

TEST(Popover, FirstRunCardIsDismissedByGotIt) {
    fixLook(false);
    PopoverHarness harness;
    scenes::firstRun(harness);
    PopoverActions actions;
    actions.dismissFirstRun = [&] { harness.state.dismissFirstRun(harness.preferences); };
    auto view = harness.view(actions);
    EXPECT_TRUE(labels(*view->column()).contains("WELCOME"));
    EXPECT_TRUE(labels(*view->column()).join(' ').contains("Nothing else leaves your computer, and history stays on it."));
    const auto buttons = view->column()->findChildren<QPushButton*>();
    const auto gotIt = std::find_if(buttons.begin(), buttons.end(), [](auto* button) { return button->text() == "Got it"; });
    ASSERT_NE(gotIt, buttons.end());
    (*gotIt)->click();
    EXPECT_FALSE(harness.state.showingFirstRun());
    EXPECT_TRUE(harness.preferences.didShowFirstRun());
    EXPECT_FALSE(labels(*view->column()).contains("WELCOME"));
}

TEST(Popover, AssistiveTechnologyHearsTheSpokenForms) {
    fixLook(false);
    PopoverHarness harness;
    scenes::localProblem(harness);
    PopoverActions actions;
    actions.copyDiagnostics = [](std::function<void()> done) { done(); };
    auto view = harness.view(actions);
    harness.picture(*view);
    QStringList names;
    collectAccessible(QAccessible::queryAccessibleInterface(view.get()), names);
    for (const char* expected : {"19 milliseconds", "7 of 60 lost", "4.2 milliseconds", "signal -58 dBm",
                                 "signal to noise 34 dB", "Spike to router at 2:15 PM, 9s, worst 212 milliseconds",
                                 "Outage to 1.1.1.1 at 1:01 PM, 42s", "Copy diagnostics"})
        EXPECT_TRUE(names.contains(expected)) << expected;
}

TEST(PopoverWindow, PlacementStaysBesideTheItemAndOnTheScreen) {
    // A 1000 x 800 screen whose available area starts below a 30-pixel top panel.
    const QRect screen(0, 30, 1000, 770);
    const struct {
        const char* name;
        QRect anchor;
        QPoint cursor;
        QPoint expected;
    } rows[] = {{"item in a top panel, mid screen", QRect(490, 4, 22, 22), {}, {350, 30}},
                {"item at the top right edge", QRect(970, 4, 22, 22), {}, {700, 30}},
                {"item in a bottom panel at the left", QRect(2, 775, 22, 22), {}, {0, 571}},
                {"no geometry, cursor bottom right", QRect(), {990, 790}, {696, 596}},
                {"no geometry, cursor top left", QRect(), {5, 5}, {4, 34}}};
    for (const auto& row : rows)
        EXPECT_EQ(PopoverWindow::placement(QSize(300, 200), row.anchor, screen, row.cursor), QRect(row.expected, QSize(300, 200)))
            << row.name;
}

TEST(PopoverWindow, DetailsVisibleWhileShownUntilEscapeOrSecondToggle) {
    widgetsApplication();
    PopoverWindow window;
    QSignalSpy shown(&window, &PopoverWindow::shown);
    ASSERT_FALSE(window.detailsVisible());
    window.toggle(QRect(100, 0, 22, 22));
    EXPECT_TRUE(window.detailsVisible());
    window.toggle(QRect(100, 0, 22, 22));
    EXPECT_FALSE(window.detailsVisible());

    window.showAnchored(QRect());
    ASSERT_TRUE(window.isVisible());
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(&window, &escape);
    EXPECT_TRUE(waitForWidgets([&] { return !window.isVisible(); }));
    EXPECT_FALSE(window.detailsVisible());
    EXPECT_EQ(shown.count(), 2);
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
    window.hide();
}

struct SwitchRow {
    std::map<std::string, std::string> variables;
    double delay;  // negative: no snapshot at all
    const char* page = "";
    std::optional<ChartRange> range = {};
};

TEST(Popover, SnapshotSwitchesAreReadAndBadValuesFallBack) {
    const std::string file = "/tmp/p.png";
    const SwitchRow rows[] = {
        {{{"NERIVANE_POPOVER_DELAY", "1"}}, -1},
        {{{"NERIVANE_POPOVER_SNAPSHOT", ""}}, -1},
        {{{"NERIVANE_POPOVER_SNAPSHOT", file}}, 15},
        {{{"NERIVANE_POPOVER_SNAPSHOT", file}, {"NERIVANE_POPOVER_DELAY", "soon"}}, 15},
        {{{"NERIVANE_POPOVER_SNAPSHOT", file}, {"NERIVANE_POPOVER_DELAY", "-3"}}, 15},
        {{{"NERIVANE_POPOVER_SNAPSHOT", file}, {"NERIVANE_POPOVER_DELAY", "2.5"}, {"NERIVANE_POPOVER_PAGE", "first-run"},
          {"NERIVANE_POPOVER_RANGE", "week"}},
         2.5, "first-run", ChartRange::week},
        {{{"NERIVANE_POPOVER_SNAPSHOT", file}, {"NERIVANE_POPOVER_PAGE", "history"}, {"NERIVANE_POPOVER_RANGE", "month"}}, 15},
    };
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        SCOPED_TRACE(i);
        const auto& row = rows[i];
        const auto read = PopoverSnapshot::Switches::read([&](const char* name) -> std::optional<std::string> {
            const auto found = row.variables.find(name);
            return found == row.variables.end() ? std::nullopt : std::optional(found->second);
        });
        std::optional<PopoverSnapshot::Switches> expected;
        if (row.delay >= 0) expected = {QString::fromStdString(file), row.delay, QString::fromLatin1(row.page), row.range};
        EXPECT_EQ(read, expected);
    }
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

TEST(Popover, EverySceneDrawnAndThreeMatchTheReferences) {
    const QString references = qEnvironmentVariable("NERIVANE_SOURCE_DIR") + "/tests/nerivane/ui/reference/";
    const bool looking = !qEnvironmentVariableIsEmpty("NERIVANE_PICTURES");
    const std::pair<const char*, void (*)(PopoverHarness&)> all[] = {
        {"good", scenes::good},         {"internet-down", scenes::internetDown}, {"local-problem", scenes::localProblem},
        {"vpn-ipv6", scenes::vpnWithIPv6Problem}, {"offline", scenes::offline}, {"paused", scenes::paused},
        {"first-run", scenes::firstRun}};
    for (const bool dark : {false, true}) {
        for (const auto& [name, make] : all) {
            const QString file = QStringLiteral("popup-%1-%2.png").arg(name, dark ? "dark" : "light");
            const bool referenced = QFile::exists(references + file);
            if (!referenced && !looking) continue;
            SCOPED_TRACE(file.toStdString());
            fixLook(dark);
            PopoverHarness harness;
            make(harness);
            PopoverActions actions;
            actions.exportData = [](ExportChoice) {};
            actions.copyDiagnostics = [](std::function<void()> done) { done(); };
            PopoverView::Places places;
            if (!referenced) {  // every control the footer can bring, with stand-ins
                actions.dismissFirstRun = [&] { harness.state.dismissFirstRun(harness.preferences); };
                actions.availableUpdate = [] { return std::optional<QString>("1.2.0"); };
                actions.installUpdate = [] {};
                places.settingsPage = [] { return new QLabel(QStringLiteral("(the settings page)")); };
            }
            auto view = harness.view(actions, places);
            const QImage fresh = harness.picture(*view);
            keepPicture(fresh, file);
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

}  // namespace
}  // namespace nerivane
