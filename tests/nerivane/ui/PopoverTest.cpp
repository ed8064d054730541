// The popup built from a model fed with made-up snapshots: the header's lines
// and the cards each state brings, the events card read from history and its
// export menu, the footer's controls, the first-run card, what assistive
// technology hears, the window's placement, visibility and size, the snapshot
// switches, and every scene drawn (compared with the reference pictures; all
// written to NERIVANE_PICTURES when set, for a person to look at). Then the
// cards' rules: state lines in their order, statistics with nothing sent,
// losses over exactly the last minute, Wi-Fi without a noise figure, the
// trace's placement, and inks that read on both palettes.

#include <gtest/gtest.h>

#include <QAccessible>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QScreen>

#include "support/widgets/PopoverHarness.h"
#include "nerivane/ui/cards/CardColors.h"
#include "nerivane/ui/cards/CardTexts.h"
#include "nerivane/ui/cards/EventRow.h"
#include "nerivane/ui/cards/TraceView.h"
#include "nerivane/ui/popover/PopoverFooter.h"
#include "nerivane/ui/popover/PopoverHeader.h"
#include "nerivane/ui/popover/PopoverWindow.h"

// Designated initializers name only the actions a case uses.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

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
        // What a screen reader hears, too.
        {"local problem", scenes::localProblem, nullptr, nullptr,
         {"WI\u2011FI", "19 milliseconds", "7 of 60 lost", "4.2 milliseconds", "signal -58 dBm", "signal to noise 34 dB",
          "Spike to router at 2:15 PM, 9s, worst 212 milliseconds", "Outage to 1.1.1.1 at 1:01 PM, 42s", "Copy diagnostics"},
         {}},
    };
    fixLook(false);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        PopoverHarness harness;
        row.make(harness);
        auto view = harness.view({.copyDiagnostics = [](std::function<void()> done) { done(); }});
        harness.picture(*view);
        EXPECT_TRUE(!row.status || view->header()->status() == row.status) << view->header()->status().toStdString();
        EXPECT_TRUE(!row.explanation || view->header()->explanation() == row.explanation) << view->header()->explanation().toStdString();
        QStringList texts = labels(*view->column());
        collectAccessible(QAccessible::queryAccessibleInterface(view.get()), texts);
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
    EXPECT_EQ(view->header()->vpnTag() + view->header()->ipv6Tag() + view->footer()->versionText(), "via VPNIPv6 problemdev");
    // Pausing while the popup is open turns the status into the pause line.
    harness.model->pauseForOneHour();
    EXPECT_EQ(view->header()->status(), "Paused until 4:05 PM");
    harness.model->resume();
    EXPECT_EQ(view->header()->status(), "Good");

    scenes::localProblem(harness);
    EXPECT_TRUE(labels(*view->column()).contains("WI\u2011FI"));
    scenes::good(harness);  // Ethernet: the model drops the details
    EXPECT_FALSE(labels(*view->column()).contains("WI\u2011FI"));
    EXPECT_EQ(view->header()->vpnTag() + view->header()->ipv6Tag(), "");
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
    for (double start = sceneClock - 5000; start < sceneClock - 1400; start += 300)
        harness.model->history()->record(NetworkEvent{NetworkEvent::Kind::outage, scenes::cloudflare.role, "1.1.1.1",
                                                      scenes::cloudflare.address, start, start + 20, std::nullopt});
    scenes::events(harness);
    std::vector<ExportChoice> chosen;
    auto full = harness.view({.exportData = [&](ExportChoice choice) { chosen.push_back(choice); }});
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
    auto view = harness.view({.copyDiagnostics = [&](std::function<void()> done) { finishCopy = std::move(done); },
                              .availableUpdate = [] { return std::optional<QString>("1.2.0"); }, .installUpdate = [] {}},
                             {.settingsPage = [] { return new QLabel(QStringLiteral("settings page")); }});
    auto* footer = view->footer();
    auto *copy = footer->diagnosticsButton(), *settings = footer->settingsButton();
    ASSERT_TRUE(footer->updateButton() && copy && settings);
    // Copying, copied, then back to idle by itself.
    copy->click();
    EXPECT_EQ(copy->text(), "copying");
    ASSERT_TRUE(finishCopy);
    finishCopy();
    EXPECT_EQ(copy->text(), "copied");
    EXPECT_TRUE(waitForWidgets([&] { return footer->copyState() == PopoverFooter::CopyState::idle; }));

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
    auto view = harness.view({.dismissFirstRun = [&] { harness.state.dismissFirstRun(harness.preferences); }});
    EXPECT_TRUE(labels(*view->column()).contains("WELCOME"));
    EXPECT_TRUE(labels(*view->column()).join(' ').contains("Nothing else leaves your computer, and history stays on it."));
    for (auto* button : view->column()->findChildren<QPushButton*>())
        if (button->text() == "Got it") button->click();
    EXPECT_FALSE(harness.state.showingFirstRun());
    EXPECT_TRUE(harness.preferences.didShowFirstRun());
    EXPECT_FALSE(labels(*view->column()).contains("WELCOME"));
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
    window.hide();
}

TEST(Popover, SnapshotSwitchesAreReadAndBadValuesFallBack) {
    // Variables as "NAME=value;..." (NERIVANE_POPOVER_ left out); then the file, delay, page and range read, or none.
    using S = PopoverSnapshot::Switches;
    const std::pair<const char*, std::optional<S>> rows[] = {
        {"DELAY=1", std::nullopt},
        {"SNAPSHOT=", std::nullopt},
        {"SNAPSHOT=/p.png", S{"/p.png", 15, "", {}}},
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
            PopoverActions actions{.exportData = [](ExportChoice) {}, .copyDiagnostics = [](std::function<void()> done) { done(); }};
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

// --- The cards' words and geometry (the rest is read off the scenes above) ---

const VerdictTexts::Context english{QLocale(QLocale::English, QLocale::UnitedStates), QTimeZone::utc(), sceneClock};

TargetSnapshot with(TargetSnapshot target, TargetStatus status, std::optional<double> outageSince = {}) {
    target.status = status;
    target.outageSince = outageSince;
    return target;
}

TEST(Cards, StateLineFromTheFirstMatchingRule) {
    const auto loss = Problems::loss(), latency = Problems::latency(), jitter = Problems::jitter();
    const auto bad = [](const Target& target, Problems problems) { return measured(target, TargetState::bad(problems), 9); };
    const std::tuple<TargetSnapshot, std::optional<Verdict>, const char*> rows[] = {
        {with(bad(scenes::cloudflare, loss), TargetStatus::warmingUp), {}, "Measuring"},  // warming up beats a bad state
        {measured(scenes::cloudflare, TargetState::measuring(), 9), {}, "Measuring"},
        {measured(scenes::cloudflare, TargetState::ok(), 9), {}, ""},
        {with(measured(scenes::google, TargetState::down(), 9), TargetStatus::icmp, sceneClock - 125), {}, "No reply since 3:02 PM"},
        {bad(scenes::router, latency), Verdict::good, "Slow to answer ping; traffic through it is fine"},
        {bad(scenes::router, latency), Verdict::localProblem, "Slow"},
        // A bad internet host is not excused by a good verdict.
        {bad(scenes::cloudflare, loss | jitter), Verdict::good, "Losing probes and high jitter"},
        {bad(scenes::google, jitter | latency | loss), {}, "Losing probes, slow, and high jitter"},
    };
    for (const auto& [target, verdict, expected] : rows) EXPECT_EQ(CardTexts::stateLine(target, verdict, english).toStdString(), expected);
}

TEST(Cards, StatisticsLostLinesAndWiFiValues) {
    // Nothing sent: dashes, and no division by zero.
    const auto nothing = CardTexts::statistics(Metrics{}, english);
    const auto some = CardTexts::statistics(measured(scenes::google, TargetState::ok(), 12.34, 60, 3).metrics, english);
    EXPECT_EQ(QStringList({nothing[0].value + nothing[0].spoken, nothing[4].value + nothing[4].spoken,
                           some[0].value + " " + some[0].unit + ", " + some[0].spoken, some[4].value + ", " + some[4].spoken}),
              QStringList({"—no value", "—0 of 0 lost", "12 ms, 12 milliseconds", "5.0%, 3 of 60 lost"}));

    // An event of yesterday carries its date.
    const auto old = CardTexts::eventTexts({NetworkEvent::Kind::outage, TargetRole::internet(0), "1.1.1.1", scenes::cloudflare.address,
                                            sceneClock - 90000, sceneClock - 89958, std::nullopt}, english);
    EXPECT_NE(old.start.indexOf("Mar"), -1) << old.start.toStdString();

    // Exactly the last sixty seconds count.
    const double now = sceneClock;
    const std::vector<TraceSample> samples{
        {now - 60.01, std::nullopt}, {now - 60, std::nullopt}, {now - 30, 12.0}, {now - 12, std::nullopt}, {now - 0.5, std::nullopt}};
    EXPECT_EQ(CardTexts::lostInLastMinute(samples, now), 3);
    EXPECT_EQ(CardTexts::lostLine(0), "None lost in the last minute");

    EXPECT_EQ(CardTexts::channelLine(WiFiInfo{-50, -90, 1, 149, "5 GHz", 80}), "ch 149 · 5 GHz · 80 MHz");
    // A driver that measures no noise: no made-up noise or signal-to-noise figure.
    QStringList labels;
    for (const auto& value : CardTexts::wifiValues(WiFiInfo{-58, 0, 72, 6, "2.4 GHz", 20})) labels << value.label;
    EXPECT_EQ(labels, (QStringList{"signal", "rate", "band"}));
}

TEST(Cards, TracePlacesSamplesByTheirTimeAndScale) {
    const QRectF plot(10, 0, 120, 41);
    const double now = 1000;
    const std::vector<TraceView::Series> series{
        {{{now - 60, 5.0}, {now - 30, std::nullopt}, {now, 40.0}, {now - 61, 500.0}}, Qt::green},
        {{{now - 15, std::nullopt}, {now - 5, 80.0}}, Qt::gray},
    };
    const auto layout = TraceView::layout(series, 10, now, plot);
    // The largest rtt shown (80) beats the floor; the sample older than 60 s is not shown.
    EXPECT_DOUBLE_EQ(layout.scale, 80);
    ASSERT_EQ(layout.lines.size(), 2u);
    EXPECT_EQ(layout.lines[0], (std::vector<QPointF>{{10, 41 - 5.0 / 80 * 40}, {70, 41}, {130, 41 - 0.5 * 40}}))
        << "a lost sample sits on the bottom edge";
    EXPECT_EQ(layout.lines[1][1], QPointF(120, 1)) << "the largest rtt reaches the top";
    ASSERT_EQ(layout.marks.size(), 2u);
    EXPECT_EQ(layout.marks[0].rect, QRectF(69.25, 42, 1.5, 4));
    EXPECT_EQ(layout.marks[0].opacity, 1.0);
    EXPECT_EQ(layout.marks[1].opacity, 0.5) << "marks of later series are half opaque";

    // Below the floor the floor is the scale: a quiet line stays low.
    const auto quiet = TraceView::layout({{{{now - 1, 2.0}}, Qt::green}}, 10, now, plot);
    EXPECT_DOUBLE_EQ(quiet.scale, 10);
    EXPECT_DOUBLE_EQ(quiet.lines[0][0].y(), 41 - 0.2 * 40);
}

// WCAG's contrast ratio of two colours.
double contrast(const QColor& a, const QColor& b) {
    const auto luminance = [](const QColor& colour) {
        const auto linear = [](double c) { return c <= 0.03928 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4); };
        return 0.2126 * linear(colour.redF()) + 0.7152 * linear(colour.greenF()) + 0.0722 * linear(colour.blueF());
    };
    const double x = luminance(a) + 0.05, y = luminance(b) + 0.05;
    return std::max(x, y) / std::min(x, y);
}

TEST(Cards, AccentsReadOnLightAndDarkCards) {
    for (const bool dark : {false, true}) {
        SCOPED_TRACE(dark ? "dark" : "light");
        const QPalette palette = scenePalette(dark);
        EXPECT_EQ(CardColors::isDark(palette), dark);
        const QColor fill = CardColors::cardFill(palette);
        for (const auto accent : {Accent::phosphor, Accent::cyan, Accent::magenta, Accent::amber})
            EXPECT_GE(contrast(CardColors::accent(accent, palette), fill), 3.0) << text(accent);
        for (const QColor& warning : {CardColors::orange(palette), CardColors::red(palette), CardColors::secondary(palette)})
            EXPECT_GE(contrast(warning, fill), 3.0) << warning.name().toStdString();
        EXPECT_EQ(CardColors::accent(Accent::system, palette), palette.color(QPalette::Highlight));
    }
}

}  // namespace
}  // namespace nerivane
