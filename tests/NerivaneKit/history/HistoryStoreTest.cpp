#include "NerivaneKit/history/HistoryStore.h"

#include <gtest/gtest.h>

#include "support/HistoryTestSupport.h"

namespace nerivane {
namespace {

class HistoryStoreTest : public ::testing::Test {
protected:
    TempFolder folder;
    HistoryStore store = openStore(folder.path("history.sqlite"));
    Database& db = *store.db;

    // Writes everything open, as a read does.
    void forceFlush(double now) { store.flush(now, now, true); }
    std::vector<AggregateRow> minuteAggregates() { return store.aggregates("seconds = 60", {}); }
    std::vector<PeriodRow> allPeriods() { return store.periods("1", {}); }
};

TEST_F(HistoryStoreTest, MinuteFigures) {
    // Router: 30 replies (1..30 ms) and 10 losses.
    for (int i = 0; i < 40; ++i) store.record(i % 4 == 3 ? lost(router(), noon + i) : reply(router(), noon + i, 1 + i - i / 4));
    // 1.1.1.1: only losses. 8.8.8.8: 10, lost, 30, 34 recorded out of time order, and a late reply.
    store.record(lost(cloudflare(), noon + 1));
    for (const auto& probe : {reply(google(), noon + 4, 34), reply(google(), noon + 1, 10), reply(google(), noon + 3, 30),
                              lost(google(), noon + 2), late(google(), noon + 5, 2500)})
        store.record(probe);
    forceFlush(noon + 60);

    auto rows = minuteAggregates();
    ASSERT_EQ(rows.size(), 3u);
    // The median is the 15th of 30, p95 the ceil(28.5) = 29th; losses break the jitter pairs.
    EXPECT_EQ(figures(rows[0]), (Figures{40, 10, 0, 15.0, 29.0, 1.0}));
    EXPECT_EQ(figures(rows[1]), (Figures{1, 1, 0, std::nullopt, std::nullopt, std::nullopt}));
    EXPECT_EQ(figures(rows[2]), (Figures{4, 1, 1, 30.0, 34.0, 4.0})) << "only the pair 30-34 counts, in time order";
    EXPECT_EQ(allPeriods(), (std::vector<PeriodRow>{{noonSeconds, 60, MinuteState::measured, {}}}));
}

TEST_F(HistoryStoreTest, SecondWritesOfAMinuteMergeAndKeepWhatWasStored) {
    store.apply(MinuteState::paused, noon);
    for (int i = 0; i < 5; ++i) store.record(reply(router(), noon + i, 10));
    store.recordRSSI(noon + 10, std::nullopt);
    forceFlush(noon + 60);
    // A late reply only, in the paused state: counts add, figures stay, "measured" stays, a NULL reading is filled.
    store.record(late(router(), noon + 52, 2500));
    store.recordRSSI(noon + 53, -80);
    forceFlush(noon + 120);
    EXPECT_EQ(figures(minuteAggregates().at(0)), (Figures{5, 0, 1, 10.0, 10.0, 0.0}));
    EXPECT_EQ(allPeriods(), (std::vector<PeriodRow>{{noonSeconds, 60, MinuteState::measured, -80}}));
    // More replies (15 > 5) bring their figures; the stored host and reading are kept.
    for (int i = 0; i < 15; ++i) store.record(reply(Target{TargetRole::router(), "renamed", router().address}, noon + 30 + i, 31));
    store.recordRSSI(noon + 31, -50);
    forceFlush(noon + 180);
    EXPECT_EQ(figures(minuteAggregates().at(0)), (Figures{20, 0, 1, 31.0, 31.0, 0.0}));
    EXPECT_EQ(std::pair(minuteAggregates().at(0).host, allPeriods().at(0).rssi), std::pair(std::string("router"), std::optional<std::int64_t>(-80)));
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

TEST_F(HistoryStoreTest, FailedWriteKeepsEverythingForTheNextFlush) {
    store.record(reply(router(), noon + 1, 3));
    store.record(reply(cloudflare(), noon + 2, 9));
    store.addEvent(outage(cloudflare(), noon - 30, noon + 2));
    // The second aggregate insert of the batch fails.
    db.execute("CREATE TRIGGER refuse BEFORE INSERT ON aggregates WHEN NEW.role = 'internet[0]' "
               "BEGIN SELECT RAISE(ABORT, 'refused by test'); END");
    EXPECT_EQ(errorOf([&] { forceFlush(noon + 60); }), "run: refused by test");
    for (const char* table : {"aggregates", "periods", "events"})
        EXPECT_EQ(count(db, std::string("SELECT count(*) FROM ") + table), 0) << "all or nothing: " << table;
    // A failed write does not count for the rate limit: the next regular flush retries.
    db.execute("DROP TRIGGER refuse");
    store.flush(noon + 70, noon + 70, false);
    EXPECT_EQ(std::pair(count(db, "SELECT count(*) FROM aggregates"), count(db, "SELECT count(*) FROM events")), (std::pair<std::int64_t, std::int64_t>(2, 1)));
    EXPECT_TRUE(store.open.empty() && store.pendingEvents.empty());
}

TEST_F(HistoryStoreTest, UnconvertibleRowsAreSkipped) {
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
    EXPECT_EQ(allPeriods(), (std::vector<PeriodRow>{{60, 60, MinuteState::measured, std::nullopt},
                                                    {180, 60, MinuteState::asleep, -55}}))
        << "reals truncate toward zero";
    auto rows = store.aggregates("1", {});
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(figures(rows[0]), (Figures{1, 0, 0, 1.5, 2.0, std::nullopt}));
    // An event of a vanished interface is kept, without its scope.
    EXPECT_EQ(store.events("1 ORDER BY start", {}),
              (std::vector<NetworkEvent>{outage(Target{TargetRole::router(), "r", *ProbeAddress::parse("10.0.0.1")}, 1, 2),
                                         {NetworkEvent::Kind::spike, TargetRole::internet(0), "h", *ProbeAddress::parse("fe80::1"), 3, 4, {}}}));
}

TEST_F(HistoryStoreTest, HourRowsReplaceMinuteRowsAWeekOldInOneTransaction) {
    // "now" is eight days after noon: the boundary is the hour of now's minute minus seven days.
    const double now = noon + 8 * 86400 + 1234;
    const std::int64_t boundary = noonSeconds + 86400, h1 = noonSeconds, h2 = h1 + 3600;
    EXPECT_EQ(HistoryStore::rollupBoundary(now), boundary);
    for (int i = 0; i < 60; ++i) {  // h1: 30 locked + 30 measured minutes; h2: 40 asleep + 20 offline
        putPeriod(db, h1 + 60 * i, 60, i % 2 ? "locked" : "measured", i < 3 ? std::optional(-50 - 10 * i) : std::nullopt);
        putPeriod(db, h2 + 60 * i, 60, i < 40 ? "asleep" : "offline");
    }
    // h1: medians 10, 30, 20 and one NULL; jitter 2 over 10 replies, 8 over 30, NULL over 5. h2: all weights 0.
    putAggregate(db, h1, 60, 10, 0, 1, 10, 12, 2);
    putAggregate(db, h1 + 60, 60, 35, 5, 2, 30, 33, 8);
    putAggregate(db, h1 + 120, 60, 6, 1, 0, 20, 25, std::nullopt);
    putAggregate(db, h1 + 180, 60, 3, 3, 0, std::nullopt, std::nullopt, std::nullopt);
    putAggregate(db, h2, 60, 4, 4, 0, std::nullopt, std::nullopt, 5);
    putPeriod(db, boundary, 60, "measured");  // a recent minute stays a minute
    putAggregate(db, boundary, 60, 60, 0, 0, 1, 2, 0.5);

    // The last step, deleting the minute periods, fails: nothing changes.
    db.execute("CREATE TRIGGER refuse BEFORE DELETE ON periods BEGIN SELECT RAISE(ABORT, 'no'); END");
    EXPECT_THROW(store.rollup(now), Database::Error);
    EXPECT_EQ(count(db, "SELECT count(*) FROM aggregates WHERE seconds = 3600"), 0);
    EXPECT_EQ(count(db, "SELECT count(*) FROM aggregates WHERE seconds = 60"), 6);
    // Maintenance is retried by the next flush that passes its rate limit.
    EXPECT_THROW(store.flush(now, now, false), Database::Error);
    EXPECT_EQ(store.lastMaintenance, std::nullopt);
    db.execute("DROP TRIGGER refuse");
    store.flush(now + 60, now + 60, false);
    EXPECT_EQ(store.lastMaintenance, now + 60);

    EXPECT_EQ(allPeriods(), (std::vector<PeriodRow>{{h1, 3600, MinuteState::measured, -60},
                                                    {h2, 3600, MinuteState::asleep, std::nullopt},
                                                    {boundary, 60, MinuteState::measured, std::nullopt}}));
    auto rows = store.aggregates("1", {});
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].seconds, 3600);
    EXPECT_EQ(figures(rows[0]), (Figures{54, 9, 3, 20.0, 33.0, 6.5}));
    EXPECT_EQ(figures(rows[1]), (Figures{4, 4, 0, std::nullopt, std::nullopt, std::nullopt})) << "all weights 0";
    EXPECT_EQ(rows[2].seconds, 60);
    store.rollup(now);
    EXPECT_EQ(store.aggregates("1", {}), rows) << "nothing left to roll up";
}

}  // namespace
}  // namespace nerivane
