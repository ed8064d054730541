// The history chart: where runs, lines, strokes and loss bars go for hand-made
// buckets, and the card's re-read on every choice with stale answers dropped.

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <condition_variable>
#include <mutex>

#include "support/widgets/WidgetsSupport.h"
#include "nerivane/core/Preferences.h"
#include "nerivane/ui/history/ChartGeometry.h"
#include "nerivane/ui/history/ChartView.h"
#include "nerivane/ui/history/HistoryCard.h"

namespace nerivane {
namespace {

// Five points per character, so the tests decide what fits.
double fiveWide(const QString& text) { return 5.0 * static_cast<double>(text.size()); }

std::vector<ChartBucket> hourOf(std::initializer_list<std::pair<int, ChartBucket>> set) {
    std::vector<ChartBucket> buckets(60);
    for (int i = 0; i < 60; ++i) buckets[static_cast<std::size_t>(i)].start = 60.0 * i;
    for (const auto& [index, bucket] : set) buckets[static_cast<std::size_t>(index)] = bucket;
    return buckets;
}

ChartBucket stateOnly(MinuteState state) { return {0, state, {}, {}, {}, {}, {}, {}}; }
ChartBucket measured(double median, double p95, double loss = 0) { return {0, MinuteState::measured, median, p95, loss, {}, {}, {}}; }

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

    // Before the first recorded minute nothing was ever known: no data yet,
    // as a run of its own beside the not-running time after it.
    auto fresh = hourOf({{12, measured(10, 20)}});
    for (int i = 0; i < 12; ++i) fresh[static_cast<std::size_t>(i)].state = MinuteState::notRunning;
    const auto young = ChartGeometry::layout(fresh, ChartRange::hour, 20, bounds, fiveWide, 60.0 * 8);
    ASSERT_EQ(young.runs.size(), 2u);
    EXPECT_EQ(young.runs[0].name, "no data yet");
    EXPECT_EQ(young.runs[0].area.width(), 80);
    EXPECT_EQ(young.runs[1].name, "not running");
    EXPECT_TRUE(ChartGeometry::spokenSummary(fresh, ChartRange::hour, {QLocale(QLocale::English), QTimeZone::utc(), 0}, 60.0 * 8)
                    .endsWith(", not running 4 min, no data yet 8 min"));
}

TEST(ChartGeometry, LinesBreakAtMissingValuesAndALoneValueIsAShortStroke) {
    auto buckets = hourOf({{0, measured(10, 20)}, {1, measured(10, 40)}, {2, measured(10, 20)},
                           {4, measured(5, 10)}, {6, {0, MinuteState::measured, {}, 80, 100, {}, {}, {}}}});
    const auto g = ChartGeometry::layout(buckets, ChartRange::hour, 20, bounds, fiveWide);
    EXPECT_EQ(g.scale, 80) << "the largest p95 above the floor";
    // y = bottom - p95 / scale * (plot height - 1), bottom at 100; a lone value reaches half a step to each side.
    EXPECT_EQ(g.p95, (std::vector<std::vector<QPointF>>{{{5, 75.25}, {15, 50.5}, {25, 75.25}}, {{40, 87.625}, {50, 87.625}}, {{60, 1}, {70, 1}}}));
    ASSERT_EQ(g.median.size(), 2u) << "bucket 6 has no median";
}

TEST(ChartGeometry, LossBarsGrowTenPercentToTheFullStripAndSignalSpansTheMinus90ToMinus30Band) {
    auto buckets = hourOf({{0, measured(1, 2, 0.5)}, {1, measured(1, 2, 5)}, {2, measured(1, 2, 20)}, {3, measured(1, 2, 0)}});
    for (const auto& [i, rssi] : {std::pair{0, -90}, std::pair{1, -30}, std::pair{2, -120}}) buckets[std::size_t(i)].rssi = rssi;
    const auto g = ChartGeometry::layout(buckets, ChartRange::hour, 20, bounds, fiveWide);
    EXPECT_EQ(g.scale, 20) << "the floor when all p95 are below it";
    // No bar for no loss; 0.5 % raised to the smallest bar, 20 % capped at the strip.
    EXPECT_EQ(g.lossBars, (std::vector<QRectF>{{0.25, 100, 9.5, 1.5}, {10.25, 100, 9.5, 8}, {20.25, 100, 9.5, 16}}));
    EXPECT_EQ(g.signal, (std::vector<std::vector<QPointF>>{{{5, 100}, {15, 1}, {25, 100}}}));
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
    double clock = 1e9;
    {
        HistoryCard card(preferences, [&](ChartRange range, const TargetRole& role, double) { return gate.read(range, role); },
                         [&] { return clock; });
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

        // While shown it follows history, at most once a refresh period.
        card.refresh();
        EXPECT_EQ(gate.askedCount(), 3u);
        clock += HistoryCard::refreshSeconds;
        card.refresh();
        ASSERT_TRUE(test::waitForWidgets([&] { return gate.askedCount() == 4; }));
        gate.release(4);

        // Gone with a read still held: the card waits for it and drops the answer.
        card.setRange(ChartRange::week);
        ASSERT_TRUE(test::waitForWidgets([&] { return gate.askedCount() == 5; }));
        gate.release(100);
    }
    QApplication::processEvents();
}

}  // namespace
}  // namespace nerivane
