// The popup built from a model fed with made-up snapshots: the header's
// lines, the cards each state brings, the events card empty and full and its
// export menu, the footer's controls, the first-run rules, what assistive
// technology hears, the snapshot switches, and fresh pictures against
// reference ones.

#include <gtest/gtest.h>

#include <QAccessible>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QToolButton>

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
    for (const auto* label : root.findChildren<QLabel*>()) {
        if (!label->text().isEmpty()) texts << label->text();
    }
    return texts;
}

void collectAccessible(QAccessibleInterface* node, QStringList& names, int depth = 0) {
    if (node == nullptr || depth > 40) return;
    if (!node->text(QAccessible::Name).isEmpty()) names << node->text(QAccessible::Name);
    for (int i = 0; i < node->childCount(); ++i) collectAccessible(node->child(i), names, depth + 1);
}

TEST(Popover, HeaderLinesFollowTheModel) {
    fixLook(false);
    PopoverHarness harness;
    harness.version.clear();
    scenes::vpnWithIPv6Problem(harness);
    auto view = harness.view();
    EXPECT_EQ(view->header()->status(), "Good");
    EXPECT_EQ(view->header()->explanation(), "The internet is fine. The router can't be measured.");
    EXPECT_EQ(view->header()->network(), "Ethernet");
    EXPECT_EQ(view->header()->vpnTag(), "via VPN");
    EXPECT_EQ(view->header()->ipv6Tag(), "IPv6 problem");
    EXPECT_EQ(view->footer()->versionText(), "dev") << "a build without a version";

    // Pausing while the popup is open turns the status into the pause line.
    harness.model->pauseForOneHour();
    EXPECT_EQ(view->header()->status(), "Paused until 4:05 PM");
    harness.model->resume();
    EXPECT_EQ(view->header()->status(), "Good");

    scenes::good(harness);
    EXPECT_EQ(view->header()->vpnTag(), "");
    EXPECT_EQ(view->header()->ipv6Tag(), "");
}

TEST(Popover, CardsOfEachState) {
    fixLook(false);
    {
        PopoverHarness harness;
        scenes::good(harness);
        auto view = harness.view();
        const QStringList texts = labels(*view->column());
        for (const char* expected : {"INTERNET", "ROUTER", "nas.home.arpa", "192.168.1.1", "IPv6", "3 lost in the last minute"}) {
            EXPECT_TRUE(texts.contains(expected)) << expected;
        }
        // 31 s later a new minute arrives: of the earlier one's losses (60.5 s
        // and 39.5 s ago now) only the later still counts, beside the new three.
        harness.clock += 31;
        scenes::good(harness);
        EXPECT_TRUE(labels(*view->column()).contains("4 lost in the last minute"));
    }
    {
        PopoverHarness harness;
        scenes::vpnWithIPv6Problem(harness);
        auto view = harness.view();
        const QStringList texts = labels(*view->column());
        EXPECT_TRUE(texts.contains("Router can't be reached through the VPN"));
        EXPECT_TRUE(texts.contains("TCP"));
        EXPECT_TRUE(texts.contains("No reply since 3:00 PM"));
    }
    {
        PopoverHarness harness;
        scenes::offline(harness);
        auto view = harness.view();
        const QStringList texts = labels(*view->column());
        EXPECT_TRUE(texts.contains("No network"));
        EXPECT_TRUE(texts.contains("Offline since 3:01 PM"));
        EXPECT_FALSE(texts.contains("INTERNET")) << "the offline card takes the target cards' place";
        EXPECT_EQ(view->header()->explanation(), "No network since 3:01 PM.");
    }
    {
        PopoverHarness harness;
        MonitorSnapshot first;
        first.path = path(NetworkPath::Kind::ethernet);
        harness.deliver(first);
        auto view = harness.view();
        EXPECT_TRUE(labels(*view->column()).contains("Measuring"));
        EXPECT_TRUE(labels(*view->column()).contains("No router on this network"));
        first.verdict = Verdict::internetUnmeasured;
        harness.deliver(first);
        EXPECT_TRUE(labels(*view->column()).contains("No internet host resolved"));
    }
}

TEST(Popover, WiFiCardOnlyWhileThePathIsWiFiWithDetails) {
    fixLook(false);
    PopoverHarness harness;
    scenes::localProblem(harness);
    auto view = harness.view();
    EXPECT_TRUE(labels(*view->column()).contains("WI\u2011FI"));
    scenes::good(harness);  // Ethernet: the model drops the details
    EXPECT_FALSE(labels(*view->column()).contains("WI\u2011FI"));
}

TEST(Popover, EventsCardReadsHistoryOffTheMainThread) {
    fixLook(false);
    PopoverHarness harness;
    auto empty = harness.view();
    harness.picture(*empty);
    EXPECT_TRUE(labels(*empty->eventsCard()).contains("No outages or spikes"));

    // Twelve events in history, three of them also among the model's recent ones.
    for (int i = 0; i < 12; ++i) {
        const double start = sceneClock - 5000 + i * 300;
        harness.model->history()->record(NetworkEvent{NetworkEvent::Kind::outage, scenes::cloudflare.role, "1.1.1.1",
                                                      scenes::cloudflare.address, start, start + 20, std::nullopt});
    }
    scenes::events(harness);
    auto full = harness.view();
    ASSERT_EQ(full->eventsCard()->events().size(), 3u) << "the model's events show until history answers";
    EXPECT_EQ(full->eventsCard()->events().front().start, sceneClock - 600) << "newest first";
    harness.picture(*full);
    const auto events = full->eventsCard()->events();
    ASSERT_EQ(events.size(), 10u);
    EXPECT_EQ(events.front().start, sceneClock - 600);
    EXPECT_TRUE(std::is_sorted(events.begin(), events.end(), [](const auto& a, const auto& b) { return a.start > b.start; }));
    EXPECT_EQ(full->eventsCard()->findChildren<EventRow*>().size(), 10);
}

TEST(Popover, ExportMenuHandsTheChoiceToTheAction) {
    fixLook(false);
    PopoverHarness harness;
    EXPECT_EQ(harness.view()->eventsCard()->exportMenu(), nullptr) << "no export action, no export control";

    std::vector<ExportChoice> chosen;
    PopoverActions actions;
    actions.exportData = [&](ExportChoice choice) { chosen.push_back(choice); };
    auto view = harness.view(actions);
    QMenu* menu = view->eventsCard()->exportMenu();
    ASSERT_NE(menu, nullptr);
    QStringList kinds;
    for (QAction* kind : menu->actions()) kinds << kind->text();
    EXPECT_EQ(kinds, (QStringList{"Measurements", "Events"}));
    QStringList ranges;
    for (QAction* range : menu->actions().at(1)->menu()->actions()) ranges << range->text();
    EXPECT_EQ(ranges, (QStringList{"Last Hour", "Last 24 Hours", "Last 7 Days", "Everything"}));
    menu->actions().at(1)->menu()->actions().at(2)->trigger();
    menu->actions().at(0)->menu()->actions().at(3)->trigger();
    EXPECT_EQ(chosen, (std::vector<ExportChoice>{{ExportChoice::Kind::events, ExportChoice::Range::week},
                                                 {ExportChoice::Kind::aggregates, ExportChoice::Range::all}}));
}

TEST(Popover, FooterShowsOnlyControlsThatWork) {
    fixLook(false);
    PopoverHarness harness;
    auto bare = harness.view();
    EXPECT_EQ(bare->footer()->diagnosticsButton(), nullptr);
    EXPECT_EQ(bare->footer()->updateButton(), nullptr);
    EXPECT_EQ(bare->footer()->settingsButton(), nullptr);
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
    EXPECT_EQ(footer->updateButton()->text(), "update 1.2.0");
    EXPECT_EQ(footer->updateButton()->toolTip(), "Install nerivane 1.2.0");

    auto* copy = footer->diagnosticsButton();
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->text(), "diagnostics");
    EXPECT_EQ(copy->toolTip(), "Copy diagnostics to the clipboard");
    copy->click();
    EXPECT_EQ(copy->text(), "copying");
    ASSERT_TRUE(finishCopy);
    finishCopy();
    EXPECT_EQ(copy->text(), "copied");
    EXPECT_EQ(copy->accessibleName(), "Diagnostics copied");
    EXPECT_TRUE(waitForWidgets([&] { return footer->copyState() == PopoverFooter::CopyState::idle; }));
    EXPECT_EQ(copy->accessibleName(), "Copy diagnostics");

    auto* settings = footer->settingsButton();
    ASSERT_NE(settings, nullptr);
    EXPECT_EQ(settings->text(), "settings");
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

TEST(Popover, FirstRunCardIsDismissedByGotItOrALongEnoughLook) {
    fixLook(false);
    PopoverHarness harness;
    scenes::firstRun(harness);
    PopoverActions actions;
    actions.dismissFirstRun = [&] { harness.state.dismissFirstRun(harness.preferences); };
    auto view = harness.view(actions);
    EXPECT_TRUE(labels(*view->column()).contains("WELCOME"));
    EXPECT_TRUE(labels(*view->column()).join(' ').contains("Nothing else leaves your computer, and history stays on it."));
    QPushButton* gotIt = nullptr;
    for (auto* button : view->column()->findChildren<QPushButton*>()) {
        if (button->text() == "Got it") gotIt = button;
    }
    ASSERT_NE(gotIt, nullptr);
    gotIt->click();
    EXPECT_FALSE(harness.state.showingFirstRun());
    EXPECT_TRUE(harness.preferences.didShowFirstRun());
    EXPECT_FALSE(labels(*view->column()).contains("WELCOME"));

    // Closed within 3 s: still pending. Closed after 3 s: read.
    PopoverHarness glance;
    glance.state.setShowingFirstRun(true);
    EXPECT_FALSE(glance.state.handleClosed(2.9, glance.preferences));
    EXPECT_TRUE(glance.state.showingFirstRun());
    EXPECT_FALSE(glance.preferences.didShowFirstRun());
    EXPECT_TRUE(glance.state.handleClosed(3.0, glance.preferences));
    EXPECT_FALSE(glance.state.showingFirstRun());
    EXPECT_TRUE(glance.preferences.didShowFirstRun());
    EXPECT_FALSE(glance.state.handleClosed(10, glance.preferences)) << "nothing to dismiss any more";
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
                                 "Outage to 1.1.1.1 at 1:01 PM, 42s", "Copy diagnostics"}) {
        EXPECT_TRUE(names.contains(expected)) << expected;
    }
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
    const char* name;
    std::map<std::string, std::string> variables;
    std::optional<PopoverSnapshot::Switches> expected;
};

void PrintTo(const SwitchRow& row, std::ostream* out) { *out << row.name; }

class SnapshotSwitches : public testing::TestWithParam<SwitchRow> {};

TEST_P(SnapshotSwitches, AreRead) {
    const auto& row = GetParam();
    const auto switches = PopoverSnapshot::Switches::read([&](const char* name) -> std::optional<std::string> {
        const auto found = row.variables.find(name);
        if (found == row.variables.end()) return std::nullopt;
        return found->second;
    });
    EXPECT_EQ(switches, row.expected) << row.name;
}

PopoverSnapshot::Switches switches(double delay, const char* page = "", std::optional<ChartRange> range = {}) {
    return {QStringLiteral("/tmp/p.png"), delay, QString::fromLatin1(page), range};
}

INSTANTIATE_TEST_SUITE_P(
    Popover, SnapshotSwitches,
    testing::Values(SwitchRow{"no path, no picture", {{"NERIVANE_POPOVER_DELAY", "1"}}, std::nullopt},
                    SwitchRow{"empty path", {{"NERIVANE_POPOVER_SNAPSHOT", ""}}, std::nullopt},
                    SwitchRow{"delay unset", {{"NERIVANE_POPOVER_SNAPSHOT", "/tmp/p.png"}}, switches(15)},
                    SwitchRow{"delay not a number", {{"NERIVANE_POPOVER_SNAPSHOT", "/tmp/p.png"}, {"NERIVANE_POPOVER_DELAY", "soon"}},
                              switches(15)},
                    SwitchRow{"negative delay", {{"NERIVANE_POPOVER_SNAPSHOT", "/tmp/p.png"}, {"NERIVANE_POPOVER_DELAY", "-3"}},
                              switches(15)},
                    SwitchRow{"decimal delay, page and range",
                              {{"NERIVANE_POPOVER_SNAPSHOT", "/tmp/p.png"},
                               {"NERIVANE_POPOVER_DELAY", "2.5"},
                               {"NERIVANE_POPOVER_PAGE", "first-run"},
                               {"NERIVANE_POPOVER_RANGE", "week"}},
                              switches(2.5, "first-run", ChartRange::week)},
                    SwitchRow{"unknown page and range are ignored",
                              {{"NERIVANE_POPOVER_SNAPSHOT", "/tmp/p.png"},
                               {"NERIVANE_POPOVER_PAGE", "history"},
                               {"NERIVANE_POPOVER_RANGE", "month"}},
                              switches(15)}),
    [](const auto& info) { return "row" + std::to_string(info.index); });

TEST(Popover, SnapshotSwitchWritesThePausedPage) {
    fixLook(false);
    PopoverHarness harness;
    scenes::good(harness);
    QTemporaryDir folder;
    auto switches = *PopoverSnapshot::Switches::read([&](const char* name) -> std::optional<std::string> {
        if (std::string(name) == "NERIVANE_POPOVER_SNAPSHOT") return folder.filePath("popup.png").toStdString();
        if (std::string(name) == "NERIVANE_POPOVER_DELAY") return "0";
        if (std::string(name) == "NERIVANE_POPOVER_PAGE") return "paused";
        return std::nullopt;
    });
    PopoverView::Options options;
    options.context = [&] { return harness.context(); };
    PopoverSnapshot snapshot(*harness.model, harness.state, {}, {}, options, switches);
    QSignalSpy finished(&snapshot, &PopoverSnapshot::finished);
    snapshot.start();
    ASSERT_TRUE(waitForWidgets([&] { return finished.count() == 1; }));
    EXPECT_TRUE(finished.at(0).at(0).toBool());
    EXPECT_TRUE(harness.model->pausedUntil().has_value());
    EXPECT_FALSE(harness.model->detailsVisible()) << "no real popup is open";
    const QImage picture(folder.filePath("popup.png"));
    ASSERT_FALSE(picture.isNull());
    EXPECT_EQ(picture.width(), PopoverView::width * static_cast<int>(picture.devicePixelRatio()));
    EXPECT_GT(picture.height(), 300);
}

// Fraction of pixels whose colour differs by more than a little (antialiasing
// and font hinting differ slightly between machines; layout changes do not).
double differingShare(const QImage& a, const QImage& b) {
    const QImage x = a.convertToFormat(QImage::Format_RGB32);
    const QImage y = b.convertToFormat(QImage::Format_RGB32);
    long differing = 0;
    for (int row = 0; row < x.height(); ++row) {
        const auto* p = reinterpret_cast<const QRgb*>(x.constScanLine(row));
        const auto* q = reinterpret_cast<const QRgb*>(y.constScanLine(row));
        for (int column = 0; column < x.width(); ++column) {
            const int delta = std::max({std::abs(qRed(p[column]) - qRed(q[column])), std::abs(qGreen(p[column]) - qGreen(q[column])),
                                        std::abs(qBlue(p[column]) - qBlue(q[column]))});
            if (delta > 48) ++differing;
        }
    }
    return static_cast<double>(differing) / (x.width() * x.height());
}

TEST(Popover, PicturesMatchTheReferences) {
    const QString folder = QString::fromLocal8Bit(std::getenv("NERIVANE_SOURCE_DIR")) + "/tests/nerivane/ui/reference/";
    struct Case {
        const char* file;
        bool dark;
        void (*make)(PopoverHarness&);
    };
    for (const Case& one : {Case{"popup-good-light.png", false, scenes::good},
                            Case{"popup-internet-down-dark.png", true, scenes::internetDown},
                            Case{"popup-offline-dark.png", true, scenes::offline}}) {
        fixLook(one.dark);
        PopoverHarness harness;
        one.make(harness);
        PopoverActions actions;
        actions.exportData = [](ExportChoice) {};
        actions.copyDiagnostics = [](std::function<void()> done) { done(); };
        auto view = harness.view(actions);
        const QImage fresh = harness.picture(*view);
        if (std::getenv("NERIVANE_UPDATE_REFERENCES") != nullptr) fresh.save(folder + one.file);
        const QImage reference(folder + one.file);
        ASSERT_FALSE(reference.isNull()) << one.file;
        ASSERT_EQ(fresh.size(), reference.size()) << one.file << ": the layout changed";
        EXPECT_LT(differingShare(fresh, reference), 0.01) << one.file;
    }
}

}  // namespace
}  // namespace nerivane
