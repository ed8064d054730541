// The history chart: where runs, lines, strokes and loss bars go for hand-made
// buckets, what a screen reader hears, the card's re-read on every choice with
// stale answers dropped, and a week of history written through the real
// service with an outage, a pause and a stop, drawn for each range.

#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTemporaryDir>
#include <condition_variable>
#include <mutex>

#include "NerivaneKit/history/History.h"
#include "NerivaneKit/probing/ProbeAddress.h"
#include "support/widgets/WidgetsSupport.h"
#include "nerivane/core/Preferences.h"
#include "nerivane/ui/history/ChartGeometry.h"
#include "nerivane/ui/history/ChartView.h"
#include "nerivane/ui/history/HistoryCard.h"

namespace nerivane {
namespace {

const VerdictTexts::Context english{QLocale::c(), QTimeZone::utc(), 0};

// Five points per character, so the tests decide what fits.
double fiveWide(const QString& text) { return 5.0 * static_cast<double>(text.size()); }

std::vector<ChartBucket> hourOf(std::initializer_list<std::pair<int, ChartBucket>> set) {
    std::vector<ChartBucket> buckets(60);
    for (int i = 0; i < 60; ++i) buckets[static_cast<std::size_t>(i)].start = 60.0 * i;
    for (const auto& [index, bucket] : set) buckets[static_cast<std::size_t>(index)] = bucket;
    return buckets;
}

ChartBucket stateOnly(MinuteState state) { return {0, state, {}, {}, {}, {}}; }
ChartBucket measured(double median, double p95, double loss = 0) { return {0, MinuteState::measured, median, p95, loss, {}}; }

// 600 x 127 bounds: a 100-point plot (99 of it for values), step 10 on the hour.
const QRectF bounds(0, 0, 600, 127);

TEST(ChartGeometry, RunsOfOneNonMeasuredStateAreShadedAndNamedWhenTheNameFits) {
    auto buckets = hourOf({{10, measured(10, 20)}, {11, stateOnly(MinuteState::offline)}, {12, stateOnly(MinuteState::offline)},
                           {15, stateOnly(MinuteState::notRunning)}, {16, stateOnly(MinuteState::paused)}});
    for (int i = 0; i < 10; ++i) buckets[static_cast<std::size_t>(i)].state = MinuteState::paused;
    const auto g = ChartGeometry::layout(buckets, ChartRange::hour, 20, bounds, fiveWide);

    ASSERT_EQ(g.runs.size(), 4u) << "absent states form no run; measured splits runs";
    EXPECT_EQ(g.runs[0].state, MinuteState::paused);
    EXPECT_EQ(g.runs[0].area, QRectF(0, 0, 100, 116)) << "plot and loss strip";
    EXPECT_EQ(g.runs[0].labelCentre, QPointF(50, 58));
    EXPECT_EQ(g.runs[1].area, QRectF(110, 0, 20, 116));
    EXPECT_FALSE(g.runs[1].labelCentre) << "offline needs 35 + 4 points, the run has 20";
    EXPECT_EQ(g.runs[3].area.left(), 160) << "a new state starts a new run";
}

TEST(ChartGeometry, LinesBreakAtMissingValuesAndALoneValueIsAShortStroke) {
    auto buckets = hourOf({{0, measured(10, 20)}, {1, measured(10, 40)}, {2, measured(10, 20)},
                           {4, measured(5, 10)}, {6, {0, MinuteState::measured, {}, 80, 100, {}}}});
    const auto g = ChartGeometry::layout(buckets, ChartRange::hour, 20, bounds, fiveWide);
    EXPECT_EQ(g.scale, 80) << "the largest p95 above the floor";
    // y = bottom - p95 / scale * (plot height - 1), bottom at 100; a lone value reaches half a step to each side.
    EXPECT_EQ(g.p95, (std::vector<std::vector<QPointF>>{{{5, 75.25}, {15, 50.5}, {25, 75.25}}, {{40, 87.625}, {50, 87.625}}, {{60, 1}, {70, 1}}}));
    ASSERT_EQ(g.median.size(), 2u) << "bucket 6 has no median";

    // On the week a step is under a point: the stroke still reaches 1 point each way.
    std::vector<ChartBucket> week(168);
    week[100] = measured(10, 20);
    const auto w = ChartGeometry::layout(week, ChartRange::week, 20, QRectF(0, 0, 84, 127), fiveWide);
    ASSERT_EQ(w.median.size(), 1u);
    EXPECT_EQ(w.median[0], (std::vector<QPointF>{{49.25, w.median[0][0].y()}, {51.25, w.median[0][0].y()}}));
    EXPECT_EQ(w.scale, 20) << "the floor when all p95 are below it";
}

TEST(ChartGeometry, LossBarsGrowTenPercentToTheFullStripAndSignalSpansTheMinus90ToMinus30Band) {
    auto buckets = hourOf({{0, measured(1, 2, 0.5)}, {1, measured(1, 2, 5)}, {2, measured(1, 2, 20)}, {3, measured(1, 2, 0)}});
    for (const auto& [i, rssi] : {std::pair{0, -90}, std::pair{1, -30}, std::pair{2, -120}}) buckets[std::size_t(i)].rssi = rssi;
    const auto g = ChartGeometry::layout(buckets, ChartRange::hour, 20, bounds, fiveWide);
    // No bar for no loss; 0.5 % raised to the smallest bar, 20 % capped at the strip.
    EXPECT_EQ(g.lossBars, (std::vector<QRectF>{{0.25, 100, 9.5, 1.5}, {10.25, 100, 9.5, 8}, {20.25, 100, 9.5, 16}}));
    EXPECT_EQ(g.signal, (std::vector<std::vector<QPointF>>{{{5, 100}, {15, 1}, {25, 100}}}));
}

TEST(ChartGeometry, SpokenSummaryNamesFiguresAndTheTimeNotMeasured) {
    auto paused = hourOf({});
    for (auto& bucket : paused) bucket.state = MinuteState::paused;
    for (const auto& none : {paused, std::vector<ChartBucket>{}})
        EXPECT_EQ(ChartGeometry::spokenSummary(none, ChartRange::hour, english), "No measurements in this range");

    const auto mixed = hourOf({{0, measured(12, 30, 0)}, {1, measured(14, 45, 5)}, {2, measured(30, 40, 0)},
                               {3, stateOnly(MinuteState::paused)}, {4, stateOnly(MinuteState::paused)},
                               {5, stateOnly(MinuteState::offline)}});
    EXPECT_EQ(ChartGeometry::spokenSummary(mixed, ChartRange::hour, english),
              "Median 14 milliseconds, p95 up to 45 milliseconds, loss 1.7%, paused 2m, offline 1m");
    EXPECT_EQ(ChartGeometry::spokenSummary(mixed, ChartRange::day, english),
              "Median 14 milliseconds, p95 up to 45 milliseconds, loss 1.7%, paused 20m, offline 10m");
}

// A reader that holds every read until the test lets it go, and answers
// with a bucket that says which choice it was read for.
struct GatedReader {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::pair<ChartRange, TargetRole>> asked;
    std::size_t released = 0;

    static double code(ChartRange range, const TargetRole& role) { return int(range) * 10 + (role == TargetRole::router()); }
    std::vector<ChartBucket> read(ChartRange range, const TargetRole& role) {
        std::unique_lock guard(lock);
        asked.emplace_back(range, role);
        changed.wait(guard, [&, index = asked.size() - 1] { return released > index; });
        return {measured(code(range, role), 1)};
    }
    void release(std::size_t count) {
        std::lock_guard guard(lock);
        released = count;
        changed.notify_all();
    }
    std::size_t askedCount() {
        std::lock_guard guard(lock);
        return asked.size();
    }
};

double shownCode(const HistoryCard& card) { return card.buckets().empty() ? -1 : card.buckets().front().median.value_or(-1); }

TEST(HistoryCard, EveryChoiceReReadsAndAnAnswerForAFormerChoiceIsDropped) {
    test::widgetsApplication();
    QTemporaryDir folder;
    Preferences preferences(folder.filePath("prefs.conf"));
    GatedReader gate;
    {
        HistoryCard card(preferences, [&](ChartRange range, const TargetRole& role, double) { return gate.read(range, role); },
                         [] { return 1e9; });
        card.resize(360, 200);
        card.show();
        ASSERT_TRUE(test::waitForWidgets([&] { return gate.askedCount() == 1; }));
        gate.release(1);
        ASSERT_TRUE(test::waitForWidgets([&] { return shownCode(card) == GatedReader::code(ChartRange::hour, TargetRole::internet(0)); }));

        // The router is asked for; before its answer comes, the range changes too.
        card.setTarget(ChartTarget::router);
        ASSERT_TRUE(test::waitForWidgets([&] { return gate.askedCount() == 2; }));
        card.setRange(ChartRange::day);
        gate.release(2);
        // The third read starts only after the second answer was posted.
        ASSERT_TRUE(test::waitForWidgets([&] { return gate.askedCount() == 3; }));
        QApplication::processEvents();
        EXPECT_EQ(shownCode(card), GatedReader::code(ChartRange::hour, TargetRole::internet(0)))
            << "the answer for hour/router came after the choice moved on";
        gate.release(3);
        ASSERT_TRUE(test::waitForWidgets([&] { return shownCode(card) == GatedReader::code(ChartRange::day, TargetRole::router()); }));
        EXPECT_EQ(card.chart().range(), ChartRange::day);

        // Back to the internet: its buckets again, for the day.
        card.setTarget(ChartTarget::internet);
        gate.release(4);
        ASSERT_TRUE(test::waitForWidgets([&] { return shownCode(card) == GatedReader::code(ChartRange::day, TargetRole::internet(0)); }));
        EXPECT_EQ(gate.asked.back(), (std::pair{ChartRange::day, TargetRole::internet(0)}));

        // Gone with a read still held: the card waits for it and drops the answer.
        card.setRange(ChartRange::week);
        ASSERT_TRUE(test::waitForWidgets([&] { return gate.askedCount() == 5; }));
        gate.release(100);
    }
    QApplication::processEvents();
}

// --- A week of history through the real service, drawn ---

constexpr double now = 1774096496;  // 2026-03-21 12:34:56 UTC

struct Week {
    QTemporaryDir folder;
    std::shared_ptr<std::atomic<double>> date = std::make_shared<std::atomic<double>>(now - 604800 - 7200);
    std::unique_ptr<History> history;

    // Minutes before now of each stretch, [from, to).
    static bool within(double minutesAgo, double from, double to) { return minutesAgo <= from && minutesAgo > to; }

    Week() {
        History::Options options;
        options.date = [d = date] { return d->load(); };
        // Both clocks from the same date: no sleep is detected.
        options.clocks.monotonic = [d = date] { return static_cast<std::uint64_t>(d->load() * 1e9); };
        options.clocks.continuous = options.clocks.monotonic;
        options.timeZone = TimeZone::utc();
        history = std::make_unique<History>(folder.filePath("history.sqlite").toStdString(), options);
        // Thousands of commits: durability does not matter for a scratch file.
        history->withStore([](HistoryStore& store) { store.db->execute("PRAGMA synchronous = OFF"); return 0; });
        const Target internet{TargetRole::internet(0), "1.1.1.1", *ProbeAddress::parse("1.1.1.1")},
            router{TargetRole::router(), "192.168.1.1", *ProbeAddress::parse("192.168.1.1")};
        unsigned noise = 7;
        bool paused = false;
        for (double t = date->load(); t < now - 50; t += 60) {
            date->store(t);
            const double ago = (now - t) / 60;
            // The program was not running for five hours five days ago.
            if (within(ago, 5 * 1440, 5 * 1440 - 300)) continue;
            const bool pause = within(ago, 3 * 1440, 3 * 1440 - 540) || within(ago, 600, 480) || within(ago, 15, 5);
            if (pause != paused) history->setState(pause ? MinuteState::paused : MinuteState::measured);
            paused = pause;
            if (!pause) {
                const bool outage = within(ago, 1800, 1680) || within(ago, 360, 300) || within(ago, 35, 25);
                std::vector<ProbeRecord> probes;
                for (int s = 0; s < 60; s += 10) {
                    noise = noise * 1103515245u + 12345u;
                    const double jitter = (noise >> 16) % 100 / 10.0, daily = 6 * std::sin((t / 86400) * 2 * M_PI);
                    const double spike = (noise >> 8) % 1499 == 0 ? 120 : 0;
                    const bool lost = outage || (noise >> 4) % 1999 == 0;
                    probes.push_back({internet, ProbeProtocol::icmp, lost ? ProbeResult::Outcome(ProbeResult::Lost{}) : ProbeResult::Reply{14 + daily + jitter + spike}, t + s});
                    probes.push_back({router, ProbeProtocol::icmp, ProbeResult::Reply{2 + jitter / 4}, t + s});
                }
                history->record(probes, MinuteState::measured);
                history->withStore([&](HistoryStore& store) { store.recordRSSI(t + 30, -58 - std::int64_t((noise >> 3) % 9)); return 0; });
            }
            // A paused minute is opened only by a tick; measured ones by their records.
            if (pause || static_cast<long>(ago) % 10 == 0) history->tick();
        }
        date->store(now);
        history->tick();
    }
};

TEST(HistoryCard, AWeekWithAnOutageAPauseAndAStopReadsAndDrawsForEveryRange) {
    test::widgetsApplication();
    Week week;
    QTemporaryDir folder;
    Preferences preferences(folder.filePath("prefs.conf"));
    HistoryCard card(preferences, [&week](ChartRange r, const TargetRole& role, double at) { return week.history->chart(r, role, at); },
                     [] { return now; });
    card.resize(380, 190);
    QSignalSpy loaded(&card, &HistoryCard::bucketsLoaded);
    card.show();
    ASSERT_TRUE(loaded.wait(10000));

    // The first bucket of the pause and of the outage, counted from the end.
    for (const auto& [range, pauseFromEnd, outageFromEnd, name] :
         {std::tuple{ChartRange::hour, 15, 35, "hour"}, {ChartRange::day, 60, 36, "day"}, {ChartRange::week, 72, 30, "week"}}) {
        SCOPED_TRACE(name);
        if (card.range() != range) {
            card.setRange(range);
            ASSERT_TRUE(loaded.wait(10000));
        }
        const auto& buckets = card.buckets();
        ASSERT_EQ(int(buckets.size()), bucketCount(range));
        EXPECT_EQ(buckets[buckets.size() - pauseFromEnd].state, MinuteState::paused);
        EXPECT_EQ(buckets[buckets.size() - outageFromEnd].lossPercent, 100.0);
        EXPECT_EQ(buckets[buckets.size() - outageFromEnd].median, std::nullopt);
        EXPECT_TRUE(card.chart().accessibleDescription().contains("paused"));

        const auto g = ChartGeometry::layout(buckets, range, ChartView::defaultFloor, QRectF(card.chart().rect()), fiveWide);
        const auto run = std::find_if(g.runs.begin(), g.runs.end(), [](const auto& r) { return r.state == MinuteState::paused; });
        ASSERT_NE(run, g.runs.end());
        const QPoint inRun = card.chart().mapTo(&card, QPoint(int(run->area.left() + 1), int(run->area.bottom() - 3)));
        for (bool dark : {false, true}) {
            card.setPalette(test::scenePalette(dark));
            const QImage image = card.grab().toImage();
            // Shaded: a pixel in the first paused run differs from the window.
            EXPECT_NE(image.pixelColor(inRun * image.devicePixelRatio()), test::scenePalette(dark).color(QPalette::Window));
            test::keepPicture(image, QStringLiteral("history-%1-%2.png").arg(name, dark ? "dark" : "light"));
        }
    }
    // The week has a stretch where the program did not run; the router has its own line.
    EXPECT_TRUE(card.chart().accessibleDescription().contains("not running"));
    card.setTarget(ChartTarget::router);
    ASSERT_TRUE(loaded.wait(10000));
    EXPECT_EQ(card.buckets()[card.buckets().size() - 30].lossPercent, 0.0) << "the router answered through the outage";
}

}  // namespace
}  // namespace nerivane
