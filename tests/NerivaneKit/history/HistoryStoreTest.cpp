#include "NerivaneKit/history/HistoryStore.h"

#include <gtest/gtest.h>

#include "support/HistoryTestSupport.h"

namespace nerivane {
namespace {

using Value = Database::Value;

class HistoryStoreTest : public ::testing::Test {
protected:
    TempFolder folder;
    HistoryStore store = openStore(folder.path("history.sqlite"));

    // Writes everything open, as a read does.
    void forceFlush(double now) { store.flush(now, now, true); }

    std::vector<AggregateRow> minuteAggregates() { return store.aggregates("seconds = 60", {}); }
    std::vector<PeriodRow> allPeriods() { return store.periods("1", {}); }
};

TEST_F(HistoryStoreTest, SchemaIsAppliedOnceAndInWALMode) {
    Database& db = *store.db;
    EXPECT_EQ(db.userVersion(), 1);
    EXPECT_EQ(db.query("PRAGMA journal_mode"), (std::vector<Database::Row>{{Value::text("wal")}}));
    // With version 1 the script is not run again: a dropped table stays dropped.
    db.execute("DROP TABLE events");
    HistoryStore again(store.db);
    again.prepareSchema();
    EXPECT_EQ(count(db, "SELECT count(*) FROM sqlite_master WHERE name = 'events'"), 0);
    // Version 0 with the tables present: the script runs (its statements tolerate them).
    db.setUserVersion(0);
    again.prepareSchema();
    EXPECT_EQ(db.userVersion(), 1);
    EXPECT_EQ(count(db, "SELECT count(*) FROM sqlite_master WHERE name = 'events'"), 1);
}

TEST_F(HistoryStoreTest, MinuteFigures) {
    const double m = noon;
    // Router: 30 replies and 10 losses; rtts 1..30 ms.
    for (int i = 0; i < 40; ++i) {
        store.record(i % 4 == 3 ? lost(router(), m + i) : reply(router(), m + i, 1 + i - i / 4));
    }
    // 1.1.1.1: only losses. 8.8.8.8: 10, lost, 30, 34 recorded out of time order.
    store.record(lost(cloudflare(), m + 1));
    store.record(lost(cloudflare(), m + 2));
    store.record(reply(google(), m + 4, 34));
    store.record(reply(google(), m + 1, 10));
    store.record(reply(google(), m + 3, 30));
    store.record(lost(google(), m + 2));
    forceFlush(m + 60);

    auto rows = minuteAggregates();
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].role, TargetRole::router());
    // 30 values 1..30: the median is the 15th, p95 the ceil(28.5) = 29th; losses break the jitter pairs.
    EXPECT_EQ(figures(rows[0]), (Figures{40, 10, 0, 15.0, 29.0, 1.0}));
    EXPECT_EQ(rows[1].host, "1.1.1.1");
    EXPECT_EQ(figures(rows[1]), (Figures{2, 2, 0, std::nullopt, std::nullopt, std::nullopt}));
    EXPECT_EQ(figures(rows[2]), (Figures{4, 1, 0, 30.0, 34.0, 4.0})) << "only the pair 30-34 counts, in time order";
    EXPECT_EQ(allPeriods(), (std::vector<PeriodRow>{{static_cast<std::int64_t>(m), 60, MinuteState::measured, {}}}));
}

TEST_F(HistoryStoreTest, LateRepliesOnlyKeepTheMinuteState) {
    store.apply(MinuteState::paused, noon);
    store.record(late(router(), noon + 5, 2500));
    store.record(late(router(), noon + 6, 2600));
    store.record(reply(router(), noon + 60, 4));  // a paused minute with samples is measured
    forceFlush(noon + 120);
    auto periods = allPeriods();
    ASSERT_EQ(periods.size(), 2u);
    EXPECT_EQ(periods[0].state, MinuteState::paused);
    EXPECT_EQ(periods[1].state, MinuteState::measured);
    auto rows = minuteAggregates();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(figures(rows[0]), (Figures{0, 0, 2, std::nullopt, std::nullopt, std::nullopt}));
    EXPECT_EQ(figures(rows[1]), (Figures{1, 0, 0, 4.0, 4.0, std::nullopt}));
}

TEST_F(HistoryStoreTest, SecondWritesOfAMinuteMerge) {
    const double m = noon;
    for (int i = 0; i < 5; ++i) store.record(reply(router(), m + i, 10));
    store.recordRSSI(m + 10, -60);
    forceFlush(m + 60);

    // A late batch with fewer replies: counts add, figures stay.
    store.record(reply(router(), m + 50, 50));
    store.record(reply(router(), m + 51, 50));
    store.record(lost(router(), m + 52));
    store.recordRSSI(m + 53, -80);
    forceFlush(m + 120);
    auto rows = minuteAggregates();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(figures(rows[0]), (Figures{8, 1, 0, 10.0, 10.0, 0.0}));
    EXPECT_EQ(allPeriods().front().rssi, -60) << "the stored reading wins";

    // The stored row now holds 7 replies: a batch of 7 does not replace its
    // figures (not more replies), a batch of 15 does (15 > 14).
    for (int i = 0; i < 7; ++i) store.record(reply(router(), m + 20 + i, 30));
    forceFlush(m + 180);
    EXPECT_EQ(figures(minuteAggregates().at(0)), (Figures{15, 1, 0, 10.0, 10.0, 0.0}));
    for (int i = 0; i < 15; ++i) store.record(reply(Target{TargetRole::router(), "renamed", router().address}, m + 30 + i, 31));
    forceFlush(m + 240);
    rows = minuteAggregates();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(figures(rows[0]), (Figures{30, 1, 0, 31.0, 31.0, 0.0}));
    EXPECT_EQ(rows[0].host, "router") << "the stored host is kept";
}

TEST_F(HistoryStoreTest, StoredMeasuredAndSignalSurviveRewrites) {
    store.record(reply(router(), noon + 1, 3));
    store.recordRSSI(noon + 2, std::nullopt);
    forceFlush(noon + 60);
    store.apply(MinuteState::paused, noon + 30);  // reopens the written minute as paused
    store.recordRSSI(noon + 31, -70);
    forceFlush(noon + 60);
    auto periods = allPeriods();
    ASSERT_EQ(periods.size(), 1u);
    EXPECT_EQ(periods[0].state, MinuteState::measured);
    EXPECT_EQ(periods[0].rssi, -70) << "a NULL reading is filled by a later one";

    store.apply(MinuteState::offline, noon + 60);
    forceFlush(noon + 120);
    store.apply(MinuteState::locked, noon + 70);
    forceFlush(noon + 120);
    EXPECT_EQ(allPeriods()[1].state, MinuteState::locked) << "a non-measured state is replaced";
}

TEST_F(HistoryStoreTest, SignalIsTheRoundedMedianOfTheReadings) {
    EXPECT_EQ(HistoryStore::signal({}), std::nullopt);
    EXPECT_EQ(HistoryStore::signal({-60, -50, -70}), -60);
    EXPECT_EQ(HistoryStore::signal({-61.5}), -62) << "half away from zero";
    EXPECT_EQ(HistoryStore::signal({-50, -70, -60, -40}), -60) << "lower middle of an even count";
}

TEST_F(HistoryStoreTest, RateLimitAndForce) {
    struct Step {
        std::optional<double> record;  // a reply sent then, before the flush
        double flush;
        bool force;
        std::size_t minutes;  // minute rows written after it
    };
    for (const auto& [record, flush, force, minutes] : std::vector<Step>{
             {noon + 1, noon + 120, false, 1},
             {noon + 61, noon + 179, false, 1},  // 59 s after the last write
             {{}, noon + 179, true, 2},
             {{}, noon + 240, false, 2},  // nothing to write still counts as a write for the rate limit
             {noon + 121, noon + 299, false, 2},
             {{}, noon + 300, false, 3},
             {noon - 86400, noon - 86400 + 60, false, 4}}) {  // the clock set back by a day: writing goes on at once
        if (record) store.record(reply(router(), *record, 3));
        store.flush(flush, flush, force);
        EXPECT_EQ(minuteAggregates().size(), minutes) << "flush at " << flush - noon;
    }
    EXPECT_EQ(store.lastMaintenance, noon - 86400 + 60) << "as does maintenance";
}

TEST_F(HistoryStoreTest, MinutesCloseFortySecondsAfterTheirEnd) {
    store.record(reply(router(), noon + 5, 3));
    store.recordRSSI(noon + 61, -50);  // the next minute is open too
    const double beforeCutoff = noon + 99;
    store.flush(beforeCutoff - 40, beforeCutoff, true);
    EXPECT_TRUE(allPeriods().empty());
    const double atCutoff = noon + 100;
    store.flush(atCutoff - 40, atCutoff, true);
    EXPECT_EQ(allPeriods().size(), 1u);
    EXPECT_EQ(store.open.size(), 1u);
    EXPECT_EQ(store.open.begin()->first, static_cast<std::int64_t>(noon + 60));
}

TEST_F(HistoryStoreTest, SleepMarksWholeMinutes) {
    store.record(reply(router(), noon + 10, 3));
    store.markAsleep(noon + 30, noon + 310);  // 12:00:30 to 12:05:10
    std::vector<std::int64_t> asleep;
    for (const auto& [minute, content] : store.open) {
        if (content.state == MinuteState::asleep) asleep.push_back((minute - static_cast<std::int64_t>(noon)) / 60);
    }
    EXPECT_EQ(asleep, (std::vector<std::int64_t>{0, 1, 2, 3, 4}));
    EXPECT_FALSE(store.open.contains(static_cast<std::int64_t>(noon + 300)));
    store.markAsleep(noon + 400, noon + 410);  // within one minute: nothing
    EXPECT_EQ(store.open.size(), 5u);
    forceFlush(noon + 600);
    auto periods = allPeriods();
    ASSERT_EQ(periods.size(), 5u);
    EXPECT_EQ(periods[0].state, MinuteState::measured) << "the minute with probes stays measured";
    EXPECT_EQ(periods[4].state, MinuteState::asleep);
}

TEST_F(HistoryStoreTest, FailedWriteKeepsEverythingForTheNextFlush) {
    Database& db = *store.db;
    store.record(reply(router(), noon + 1, 3));
    store.record(reply(cloudflare(), noon + 2, 9));
    store.addEvent(outage(cloudflare(), noon - 30, noon + 2));
    // Fault injection: the second aggregate insert of the batch fails.
    db.execute("CREATE TRIGGER refuse BEFORE INSERT ON aggregates WHEN NEW.role = 'internet[0]' "
               "BEGIN SELECT RAISE(ABORT, 'refused by test'); END");
    EXPECT_EQ(errorOf([&] { forceFlush(noon + 60); }), "run: refused by test");
    EXPECT_EQ(count(db, "SELECT count(*) FROM aggregates"), 0) << "all or nothing";
    EXPECT_EQ(count(db, "SELECT count(*) FROM periods"), 0);
    EXPECT_EQ(count(db, "SELECT count(*) FROM events"), 0);
    EXPECT_EQ(store.open.size(), 1u);
    EXPECT_EQ(store.pendingEvents.size(), 1u);
    // A failed write does not count for the rate limit: the next regular flush retries.
    db.execute("DROP TRIGGER refuse");
    store.flush(noon + 70, noon + 70, false);
    EXPECT_EQ(count(db, "SELECT count(*) FROM aggregates"), 2);
    EXPECT_EQ(count(db, "SELECT count(*) FROM events"), 1);
    EXPECT_TRUE(store.open.empty());
    EXPECT_TRUE(store.pendingEvents.empty());
}

TEST_F(HistoryStoreTest, UnconvertibleRowsAreSkipped) {
    Database& db = *store.db;
    db.execute(R"(
        INSERT INTO periods VALUES (60, 60, 'measured', 'strong');
        INSERT INTO periods VALUES (120, 60, 'dreaming', NULL);
        INSERT INTO periods VALUES ('soon', 60, 'paused', NULL);
        INSERT INTO periods VALUES (180.9, 60.0, 'asleep', -55.5);
        INSERT INTO aggregates VALUES (60, 60, 'router', 'router', '10.0.0.1', 'icmp', 1, 0, 0, 1.5, 2, 'x');
        INSERT INTO aggregates VALUES (60, 60, 'gateway', 'router', '10.0.0.1', 'icmp', 1, 0, 0, NULL, NULL, NULL);
        INSERT INTO aggregates VALUES (60, 60, 'router', 'router', '10.0.0.1', 'udp', 1, 0, 0, NULL, NULL, NULL);
        INSERT INTO aggregates VALUES (60, 60, 'custom[0]', 'x', '10.0.0.2', 'tcp', 'many', 0, 0, NULL, NULL, NULL);
        INSERT INTO aggregates VALUES (60, 60, 'custom[1]', 'x', '10.0.0.3', 'tcp', 1e300, 0, 0, NULL, NULL, NULL);
        INSERT INTO events (kind, role, host, address, start, end, worst) VALUES ('outage', 'router', 'r', '10.0.0.1', 1, 2, NULL);
        INSERT INTO events (kind, role, host, address, start, end, worst) VALUES ('storm', 'router', 'r', '10.0.0.1', 1, 2, NULL);
        INSERT INTO events (kind, role, host, address, start, end, worst) VALUES ('spike', 'router', 'r', 'not-an-address', 1, 2, 5);
        INSERT INTO events (kind, role, host, address, start, end, worst) VALUES ('spike', 'router', 'r', '10.0.0.1', 'then', 2, 5);
        INSERT INTO events (kind, role, host, address, start, end, worst) VALUES ('spike', 'internet[0]', 'h', 'fe80::1%nosuchif0', 3, 4, 'bad');
    )");
    auto periods = allPeriods();
    ASSERT_EQ(periods.size(), 2u);
    EXPECT_EQ(periods[0], (PeriodRow{60, 60, MinuteState::measured, std::nullopt}));
    EXPECT_EQ(periods[1], (PeriodRow{180, 60, MinuteState::asleep, -55})) << "reals truncate toward zero";
    auto rows = store.aggregates("1", {});
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(figures(rows[0]), (Figures{1, 0, 0, 1.5, 2.0, std::nullopt}));
    auto events = store.events("1 ORDER BY start", {});
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].kind, NetworkEvent::Kind::outage);
    // An event of a vanished interface is kept, without its scope.
    EXPECT_EQ(events[1].address, *ProbeAddress::parse("fe80::1"));
    EXPECT_EQ(events[1].worstRTT, std::nullopt);
}

TEST_F(HistoryStoreTest, AggregateRowsAreSortedByStartRoleAndAddress) {
    const Target custom0{TargetRole::custom(0), "example", *ProbeAddress::parse("10.0.0.9")};
    const Target ipv6{TargetRole::internetIPv6(), "1.1.1.1", *ProbeAddress::parse("2606:4700:4700::1111")};
    store.record(reply(custom0, noon + 61, 1));
    store.record(reply(ipv6, noon + 1, 1));
    store.record(reply(custom0, noon + 1, 1));
    store.record(reply(google(), noon + 1, 1));
    store.record(reply(router(), noon + 1, 1));
    store.record(reply(cloudflare(), noon + 1, 1));
    forceFlush(noon + 120);
    std::vector<std::string> order;
    for (const auto& row : minuteAggregates()) order.push_back(row.role.text() + "@" + std::to_string(row.start - static_cast<std::int64_t>(noon)));
    EXPECT_EQ(order, (std::vector<std::string>{"router@0", "internet[0]@0", "internet[1]@0", "internet-ipv6@0",
                                               "custom[0]@0", "custom[0]@60"}));
}

class RollupTest : public HistoryStoreTest {
protected:
    // "now" is eight days after noon: the boundary is the hour start of now's
    // minute minus seven days.
    const double now = noon + 8 * 86400 + 1234;
    const std::int64_t boundary = static_cast<std::int64_t>(noon) + 86400;

    void minuteRow(std::int64_t start, const std::string& state, std::optional<int> rssi = {}) {
        putPeriod(*store.db, start, 60, state, rssi);
    }
    void aggregateRow(std::int64_t start, std::int64_t sent, std::int64_t lost, std::optional<double> median,
                      std::optional<double> p95, std::optional<double> jitter, std::int64_t late = 0) {
        putAggregate(*store.db, start, 60, sent, lost, late, median, p95, jitter);
    }
};

TEST_F(RollupTest, HourRowsReplaceOldMinuteRows) {
    EXPECT_EQ(HistoryStore::rollupBoundary(now), boundary);
    const auto h1 = static_cast<std::int64_t>(noon);  // 30 locked + 30 measured minutes
    for (int i = 0; i < 60; ++i) minuteRow(h1 + 60 * i, i % 2 ? "locked" : "measured", i < 3 ? std::optional(-50 - 10 * i) : std::nullopt);
    const std::int64_t h2 = h1 + 3600;  // 40 asleep + 20 offline
    for (int i = 0; i < 60; ++i) minuteRow(h2 + 60 * i, i < 40 ? "asleep" : "offline");
    // h1: medians 10, 30, 20 and one NULL; jitter 2 over 10 replies, 8 over 30, NULL over 5.
    aggregateRow(h1, 10, 0, 10, 12, 2, 1);
    aggregateRow(h1 + 60, 35, 5, 30, 33, 8, 2);
    aggregateRow(h1 + 120, 6, 1, 20, 25, std::nullopt);
    aggregateRow(h1 + 180, 3, 3, std::nullopt, std::nullopt, std::nullopt);
    // h2: all weights 0.
    aggregateRow(h2, 4, 4, std::nullopt, std::nullopt, 5);
    // A recent minute stays a minute.
    minuteRow(boundary, "measured");
    aggregateRow(boundary, 60, 0, 1, 2, 0.5);

    store.rollup(now);

    auto periods = allPeriods();
    ASSERT_EQ(periods.size(), 3u);
    EXPECT_EQ(periods[0], (PeriodRow{h1, 3600, MinuteState::measured, -60}));
    EXPECT_EQ(periods[1], (PeriodRow{h2, 3600, MinuteState::asleep, std::nullopt}));
    EXPECT_EQ(periods[2], (PeriodRow{boundary, 60, MinuteState::measured, std::nullopt}));
    auto rows = store.aggregates("1", {});
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].seconds, 3600);
    EXPECT_EQ(figures(rows[0]), (Figures{54, 9, 3, 20.0, 33.0, 6.5}));
    EXPECT_EQ(figures(rows[1]), (Figures{4, 4, 0, std::nullopt, std::nullopt, std::nullopt})) << "all weights 0";
    EXPECT_EQ(rows[2].seconds, 60);

    // Nothing left to roll up: the second run changes nothing.
    store.rollup(now);
    EXPECT_EQ(store.aggregates("1", {}), rows);
}

TEST_F(RollupTest, RollupIsOneTransaction) {
    const auto h1 = static_cast<std::int64_t>(noon);
    minuteRow(h1, "measured");
    aggregateRow(h1, 10, 0, 10, 12, 2);
    // The last step, deleting the minute periods, fails.
    store.db->execute("CREATE TRIGGER refuse BEFORE DELETE ON periods BEGIN SELECT RAISE(ABORT, 'no'); END");
    EXPECT_THROW(store.rollup(now), Database::Error);
    EXPECT_EQ(count(*store.db, "SELECT count(*) FROM aggregates WHERE seconds = 3600"), 0);
    EXPECT_EQ(count(*store.db, "SELECT count(*) FROM aggregates WHERE seconds = 60"), 1);
    EXPECT_EQ(count(*store.db, "SELECT count(*) FROM periods WHERE seconds = 3600"), 0);
    // Maintenance is retried by the next flush that passes its rate limit.
    store.lastMaintenance.reset();
    EXPECT_THROW(store.flush(now, now, false), Database::Error);
    EXPECT_EQ(store.lastWrite, now);
    EXPECT_EQ(store.lastMaintenance, std::nullopt);
    store.db->execute("DROP TRIGGER refuse");
    store.flush(now + 60, now + 60, false);
    EXPECT_EQ(store.lastMaintenance, now + 60);
    EXPECT_EQ(count(*store.db, "SELECT count(*) FROM aggregates WHERE seconds = 3600"), 1);
    EXPECT_EQ(count(*store.db, "SELECT count(*) FROM periods WHERE seconds = 60"), 0);
}

TEST_F(HistoryStoreTest, RetentionBoundaries) {
    store.retentionDays = 1;
    const double now = noon + 86400;
    const auto limit = static_cast<std::int64_t>(noon);
    Database& db = *store.db;
    putPeriod(db, limit - 60, 60, "measured");
    putPeriod(db, limit - 59, 60, "measured");
    putPeriod(db, limit - 3600, 3600, "asleep");
    store.addEvent(outage(router(), noon - 100, noon));
    store.addEvent(outage(router(), noon - 100, noon - 0.5));
    store.flush(now, now, true);  // writes the events, then maintenance runs
    EXPECT_EQ(store.lastMaintenance, now);
    auto periods = allPeriods();
    ASSERT_EQ(periods.size(), 1u);
    EXPECT_EQ(periods[0].start, limit - 59);
    auto events = store.events("1", {});
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].end, noon) << "an event ending exactly at the limit stays";

    // Maintenance runs at most once an hour.
    putPeriod(db, limit - 600, 60, "measured");
    store.flush(now + 3599, now + 3599, true);
    EXPECT_EQ(allPeriods().size(), 2u);
    store.flush(now + 3600, now + 3600, true);
    EXPECT_TRUE(allPeriods().empty());
}

}  // namespace
}  // namespace nerivane
