#include "NerivaneKit/history/HistoryChart.h"

#include <gtest/gtest.h>

#include "support/HistoryTestSupport.h"

namespace nerivane {
namespace {

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

TEST(HistoryChart, DayBucketStateAndFigures) {
    std::vector<PeriodRow> periods;
    minutes(periods, noonSeconds, 5, MinuteState::measured);  // 12:00: 5 measured, 5 missing
    minutes(periods, noonSeconds + 600, 3, MinuteState::paused);  // 12:10: 3 paused, 7 missing
    minutes(periods, noonSeconds + 1200, 5, MinuteState::paused);  // 12:20: 5 paused, 5 offline
    minutes(periods, noonSeconds + 1500, 5, MinuteState::offline);
    minutes(periods, noonSeconds + 1800, 5, MinuteState::locked);  // 12:30: 5 locked, 5 asleep
    minutes(periods, noonSeconds + 2100, 5, MinuteState::asleep);
    minutes(periods, noonSeconds + 2400, 5, MinuteState::offline);  // 12:40: "offline" beats "not_running"
    for (int i = 0; i < 4; ++i) periods[static_cast<std::size_t>(i)].rssi = -60 - i;
    periods.push_back(period(noonSeconds - 86400, MinuteState::paused, 86400 * 2));  // starts before the grid
    const std::vector<AggregateRow> rows{
        aggregate(noonSeconds, 60, 3, 10, 40), aggregate(noonSeconds + 60, 60, 0, 30, 20),
        aggregate(noonSeconds + 120, 60, 0, std::nullopt, std::nullopt), aggregate(noonSeconds + 180, 60, 0, 20, 90),
        // Another role, and a row one bucket before the grid: ignored.
        aggregate(noonSeconds + 240, 60, 60, 1000, 1000, TargetRole::router()),
        aggregate(noonSeconds - 86400, 60, 60, 1000, 1000)};
    // 13:00 holds the current minute, so no time is expected of it yet.
    auto buckets = HistoryChart::buckets(ChartRange::day, TargetRole::internet(0), periods, rows, noon + 3600 + 5);
    ASSERT_EQ(buckets.size(), 144u);
    std::vector<std::optional<MinuteState>> states;
    for (std::size_t i = at1200; i < buckets.size(); ++i) states.push_back(buckets[i].state);
    EXPECT_EQ(states, (std::vector<std::optional<MinuteState>>{MinuteState::measured, MinuteState::notRunning,
                                                               MinuteState::paused, MinuteState::locked,
                                                               MinuteState::offline, MinuteState::notRunning, std::nullopt}));
    // The median of the row medians, the 95th percentile of their p95s; signal -63..-60: the lower middle.
    EXPECT_EQ(buckets[at1200], (ChartBucket{noon, MinuteState::measured, 20.0, 90.0, 3 * 100.0 / 240, -62}));
    EXPECT_EQ(buckets.front().state, MinuteState::notRunning) << "a row starting before the grid is ignored";
    const std::vector<AggregateRow> silent{aggregate(noonSeconds, 0, 0, std::nullopt, std::nullopt)};
    EXPECT_EQ(HistoryChart::buckets(ChartRange::day, TargetRole::internet(0), periods, silent, noon + 3605)[at1200].lossPercent, std::nullopt);
    // Partly elapsed, 12:03:30: 120 s paused against 60 s missing (12:02).
    const std::vector<PeriodRow> paused{period(noonSeconds, MinuteState::paused), period(noonSeconds + 60, MinuteState::paused)};
    EXPECT_EQ(HistoryChart::buckets(ChartRange::day, TargetRole::router(), paused, {}, noon + 210).back().state, MinuteState::paused);
}

TEST(HistoryChart, TheIndexedReadGivesTheBucketsOfTheFullWindowRead) {
    // Nine days: hour rows, then minute rows for the last week, with rows
    // that straddle the window's start, lie far before it, or have odd lengths.
    TempFolder folder;
    HistoryStore store = openStore(folder.path("history.sqlite"));
    Database& db = *store.db;
    db.execute("BEGIN");
    const std::int64_t first = noonSeconds - 9 * 86400;
    for (std::int64_t t = first; t < noonSeconds; t += 3600) {
        putPeriod(db, t, 3600, t % 7200 ? "measured" : "asleep", -50 - (t / 3600) % 20);
        putAggregate(db, t, 3600, 3600, (t / 3600) % 5, 0, 3 + (t / 3600) % 7, 9, 1);
    }
    for (std::int64_t t = noonSeconds - 7 * 86400; t < noonSeconds + 86400; t += 60) {
        if ((t / 60) % 97 == 0) continue;  // gaps: not running
        putPeriod(db, t, 60, (t / 60) % 13 ? "measured" : "offline");
        putAggregate(db, t, 60, 60, (t / 60) % 3, 0, 2 + (t / 60) % 11, 4 + (t / 60) % 5, 0.5);
    }
    putPeriod(db, first - 86400, 5 * 86400, "paused");
    putPeriod(db, noonSeconds - 3 * 86400 + 30, 45, "locked");
    db.execute("COMMIT");

    using Value = Database::Value;
    for (ChartRange range : allChartRanges) {
        for (double now : {noon + 86400 - 0.5, noon + 3 * 3600 + 1234.5, noon - 2 * 86400 + 60}) {
            // Every row ending after the window's start, as read before the index.
            const std::vector<Value> window{Value::real(HistoryChart::windowStart(range, now)), Value::real(now), Value::text("router")};
            EXPECT_EQ(HistoryChart::read(store, range, TargetRole::router(), now),
                      HistoryChart::buckets(range, TargetRole::router(), store.periods("start + seconds > ? AND start < ?", {window[0], window[1]}),
                                            store.aggregates("start + seconds > ? AND start < ? AND role = ?", window), now))
                << text(range) << " at " << now;
        }
    }
}

}  // namespace
}  // namespace nerivane
