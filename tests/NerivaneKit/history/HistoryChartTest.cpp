#include "NerivaneKit/history/HistoryChart.h"

#include <gtest/gtest.h>

#include "support/HistoryTestSupport.h"

namespace nerivane {
namespace {

constexpr std::int64_t hour12 = static_cast<std::int64_t>(noon);
// The day chart's bucket of 12:00 when "now" lies in the 13:00 bucket.
constexpr std::size_t at1200 = 144 - 7;

PeriodRow period(std::int64_t start, MinuteState state, std::int64_t seconds = 60, std::optional<std::int64_t> rssi = {}) {
    return PeriodRow{start, seconds, state, rssi};
}

// count minute rows of one state from start on.
void minutes(std::vector<PeriodRow>& periods, std::int64_t start, int count, MinuteState state) {
    for (int i = 0; i < count; ++i) periods.push_back(period(start + 60 * i, state));
}

AggregateRow aggregate(std::int64_t start, std::int64_t sent, std::int64_t lost, std::optional<double> median,
                       std::optional<double> p95, TargetRole role = TargetRole::internet(0), std::int64_t seconds = 60) {
    return AggregateRow{start, seconds, role, "1.1.1.1", "1.1.1.1", ProbeProtocol::icmp, sent, lost, 0, median, p95, {}};
}

TEST(HistoryChart, EveryRangeGivesACompleteGridEndingInTheCurrentBucket) {
    EXPECT_EQ(HistoryChart::windowStart(ChartRange::day, noon), noon - 87000);
    // Whatever rows exist (here: none, and rows far outside), the grid is complete.
    const std::vector<PeriodRow> stray{period(0, MinuteState::measured)};
    for (auto [range, size] : {std::pair{ChartRange::hour, 60u}, {ChartRange::day, 144u}, {ChartRange::week, 168u}}) {
        auto buckets = HistoryChart::buckets(range, TargetRole::router(), stray, {}, noon + 1234.5);
        ASSERT_EQ(buckets.size(), size);
        for (std::size_t i = 1; i < buckets.size(); ++i)
            EXPECT_EQ(buckets[i].start - buckets[i - 1].start, static_cast<double>(bucketSeconds(range)));
        EXPECT_LE(buckets.back().start, noon + 1234.5);
        EXPECT_GT(buckets.back().start + static_cast<double>(bucketSeconds(range)), noon + 1234.5);
    }
}

TEST(HistoryChart, HourChartAndTheCurrentMinute) {
    const double now = noon + 34 * 60 + 56;  // 12:34:56
    const std::vector<PeriodRow> periods{period(hour12 + 33 * 60, MinuteState::measured, 60, -58),
                                         period(hour12 + 32 * 60, MinuteState::paused)};
    const std::vector<AggregateRow> rows{aggregate(hour12 + 33 * 60, 60, 3, 12.5, 20.25),
                                         aggregate(hour12 + 33 * 60, 60, 60, std::nullopt, std::nullopt, TargetRole::router())};
    auto buckets = HistoryChart::buckets(ChartRange::hour, TargetRole::internet(0), periods, rows, now);
    ASSERT_EQ(buckets.size(), 60u);
    EXPECT_EQ(buckets.front(), (ChartBucket{noon - 25 * 60, MinuteState::notRunning, {}, {}, {}, {}}));  // 11:35
    EXPECT_EQ(buckets[57], (ChartBucket{noon + 32 * 60, MinuteState::paused, {}, {}, {}, {}}));
    EXPECT_EQ(buckets[58], (ChartBucket{noon + 33 * 60, MinuteState::measured, 12.5, 20.25, 5.0, -58}));
    EXPECT_EQ(buckets.back(), (ChartBucket{noon + 34 * 60, std::nullopt, {}, {}, {}, {}})) << "the current minute is unknown";
}

TEST(HistoryChart, DayBucketStateChoice) {
    std::vector<PeriodRow> periods;
    minutes(periods, hour12, 5, MinuteState::measured);  // 12:00: 5 measured, 5 missing
    minutes(periods, hour12 + 600, 3, MinuteState::paused);  // 12:10: 3 paused, 7 missing
    minutes(periods, hour12 + 1200, 5, MinuteState::paused);  // 12:20: 5 paused, 5 offline
    minutes(periods, hour12 + 1500, 5, MinuteState::offline);
    minutes(periods, hour12 + 1800, 5, MinuteState::locked);  // 12:30: 5 locked, 5 asleep
    minutes(periods, hour12 + 2100, 5, MinuteState::asleep);
    minutes(periods, hour12 + 2400, 5, MinuteState::offline);  // 12:40: "offline" beats "not_running"
    // The buckets of 12:00 .. 12:50 lie wholly in the past; 13:00 holds the
    // current minute, so no time is expected of it yet.
    auto buckets = HistoryChart::buckets(ChartRange::day, TargetRole::router(), periods, {}, noon + 3600 + 5);
    ASSERT_EQ(buckets.size(), 144u);
    EXPECT_EQ(buckets[at1200].start, noon);
    std::vector<std::optional<MinuteState>> states;
    for (std::size_t i = at1200; i < buckets.size(); ++i) states.push_back(buckets[i].state);
    EXPECT_EQ(states, (std::vector<std::optional<MinuteState>>{MinuteState::measured, MinuteState::notRunning,
                                                               MinuteState::paused, MinuteState::locked,
                                                               MinuteState::offline, MinuteState::notRunning, std::nullopt}));

    // Partly elapsed, 12:03:30: 120 s paused against 60 s missing (12:02); 12:03 is the current minute.
    const std::vector<PeriodRow> paused{period(hour12, MinuteState::paused), period(hour12 + 60, MinuteState::paused)};
    EXPECT_EQ(HistoryChart::buckets(ChartRange::day, TargetRole::router(), paused, {}, noon + 210).back().state,
              MinuteState::paused);
    EXPECT_EQ(HistoryChart::buckets(ChartRange::day, TargetRole::router(), {}, {}, noon + 210).back().state,
              MinuteState::notRunning);
}

TEST(HistoryChart, WeekBucketsFromHourRows) {
    const double now = noon + 8 * 86400 + 100;
    const std::int64_t lastHour = hour12 + 8 * 86400;
    const std::vector<PeriodRow> periods{period(lastHour - 3600, MinuteState::asleep, 3600, -70),
                                         period(lastHour - 7200, MinuteState::measured, 3600)};
    const std::vector<AggregateRow> rows{aggregate(lastHour - 7200, 3600, 90, 8, 30, TargetRole::internet(0), 3600)};
    auto buckets = HistoryChart::buckets(ChartRange::week, TargetRole::internet(0), periods, rows, now);
    ASSERT_EQ(buckets.size(), 168u);
    EXPECT_EQ(buckets[166], (ChartBucket{static_cast<double>(lastHour - 3600), MinuteState::asleep, {}, {}, {}, -70}));
    EXPECT_EQ(buckets[165], (ChartBucket{static_cast<double>(lastHour - 7200), MinuteState::measured, 8, 30, 2.5, {}}));
}

TEST(HistoryChart, FiguresOfSeveralRows) {
    const double now = noon + 3600 + 5;
    std::vector<AggregateRow> rows{
        aggregate(hour12, 60, 3, 10, 40),
        aggregate(hour12 + 60, 60, 0, 30, 20),
        aggregate(hour12 + 120, 60, 0, std::nullopt, std::nullopt),
        aggregate(hour12 + 180, 60, 0, 20, 90),
        // Another role, and a row one bucket before the grid: ignored.
        aggregate(hour12 + 240, 60, 60, 1000, 1000, TargetRole::router()),
        aggregate(hour12 - 86400, 60, 60, 1000, 1000),
    };
    std::vector<PeriodRow> periods;
    for (int i = 0; i < 10; ++i) periods.push_back(period(hour12 + 60 * i, MinuteState::measured, 60, i < 4 ? std::optional(-60 - i) : std::nullopt));
    periods.push_back(period(hour12 - 86400, MinuteState::paused, 86400 * 2));  // starts before the grid
    auto buckets = HistoryChart::buckets(ChartRange::day, TargetRole::internet(0), periods, rows, now);
    // -63 -62 -61 -60: the lower middle.
    EXPECT_EQ(buckets[at1200], (ChartBucket{noon, MinuteState::measured, 20.0, 90.0, 3 * 100.0 / 240, -62}));
    EXPECT_EQ(buckets.front().state, MinuteState::notRunning) << "a row starting before the grid is ignored";

    const std::vector<AggregateRow> silent{aggregate(hour12, 0, 0, std::nullopt, std::nullopt)};
    EXPECT_EQ(HistoryChart::buckets(ChartRange::day, TargetRole::internet(0), periods, silent, now)[at1200].lossPercent,
              std::nullopt);
    const std::vector<AggregateRow> some{aggregate(hour12, 60, 3, 1, 1), aggregate(hour12 + 60, 60, 0, 1, 1)};
    EXPECT_EQ(HistoryChart::buckets(ChartRange::day, TargetRole::internet(0), periods, some, now)[at1200].lossPercent, 2.5);
}

TEST(HistoryChart, TheIndexedReadGivesTheBucketsOfTheFullWindowRead) {
    // Nine days: hour rows, then minute rows for the last week, with rows
    // that straddle the window's start, lie far before it, or have odd lengths.
    TempFolder folder;
    HistoryStore store = openStore(folder.path("history.sqlite"));
    store.db->execute("BEGIN");
    const std::int64_t first = hour12 - 9 * 86400;
    for (std::int64_t t = first; t < hour12; t += 3600) {
        putPeriod(*store.db, t, 3600, t % 7200 ? "measured" : "asleep", -50 - (t / 3600) % 20);
        putAggregate(*store.db, t, 3600, 3600, (t / 3600) % 5, 0, 3 + (t / 3600) % 7, 9, 1);
    }
    for (std::int64_t t = hour12 - 7 * 86400; t < hour12 + 86400; t += 60) {
        if ((t / 60) % 97 == 0) continue;  // gaps: not running
        putPeriod(*store.db, t, 60, (t / 60) % 13 ? "measured" : "offline");
        putAggregate(*store.db, t, 60, 60, (t / 60) % 3, 0, 2 + (t / 60) % 11, 4 + (t / 60) % 5, 0.5);
    }
    putPeriod(*store.db, first - 86400, 5 * 86400, "paused");
    putPeriod(*store.db, hour12 - 3 * 86400 + 30, 45, "locked");
    store.db->execute("COMMIT");

    using Value = Database::Value;
    for (ChartRange range : allChartRanges) {
        for (double now : {noon + 86400 - 0.5, noon + 3 * 3600 + 1234.5, noon - 2 * 86400 + 60}) {
            // The read before the start range was added: every row ending after the window's start.
            const std::vector<Value> window{Value::real(HistoryChart::windowStart(range, now)), Value::real(now)};
            const auto periods = store.periods("start + seconds > ? AND start < ?", window);
            const auto aggregates =
                store.aggregates("start + seconds > ? AND start < ? AND role = ?", {window[0], window[1], Value::text("router")});
            EXPECT_EQ(HistoryChart::read(store, range, TargetRole::router(), now),
                      HistoryChart::buckets(range, TargetRole::router(), periods, aggregates, now))
                << text(range) << " at " << now;
        }
    }
}

}  // namespace
}  // namespace nerivane
