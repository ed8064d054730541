#include "NerivaneKit/history/HistoryCSV.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>

#include "support/HistoryTestSupport.h"

namespace nerivane {
namespace {

// 2026-03-22T12:00:30Z: the roll-up boundary is 2026-03-15T12:00:00Z.
constexpr double exportNow = noon + 8 * 86400 + 30;
constexpr std::int64_t boundary = noonSeconds + 86400;
const std::string header =
    "start,period_s,state,target,address,protocol,sent,lost,late,loss_pct,median_ms,p95_ms,jitter_ms,rssi_dbm\n";

TEST(HistoryCSV, FieldsWithSeparatorsAreQuoted) {
    for (const auto& [field, written] : std::vector<std::pair<std::string, std::string>>{
             {"1.1.1.1", "1.1.1.1"}, {"a,b", "\"a,b\""}, {"say \"hi\"", "\"say \"\"hi\"\"\""},
             {"two\nlines", "\"two\nlines\""}, {"carriage\rreturn", "\"carriage\rreturn\""}, {"", ""}})
        EXPECT_EQ(HistoryCSV::escape(field), written) << field;
}

class CSVExportTest : public ::testing::Test {
protected:
    TempFolder folder;
    HistoryStore store = openStore(folder.path("history.sqlite"));
    Database& db = *store.db;
};

TEST_F(CSVExportTest, MeasurementsLayout) {
    store.timeZone = TimeZone::fixed(3600);
    const Target lab{TargetRole::custom(0), "my \"lab\", west", *ProbeAddress::parse("10.0.0.9")};
    // Hour rows before the boundary (10:00Z), one starting before the window (09:00Z).
    putPeriod(db, boundary - 7200, 3600, "measured", -55);
    putAggregate(db, boundary - 7200, 3600, 3600, 36, 2, 1.5, 4, 0.25);
    putPeriod(db, boundary - 10800, 3600, "paused");
    // Minutes after the boundary, written the regular way: 12:00 measured
    // (two targets, one with only a late reply), 12:01 asleep with a signal.
    const double m = static_cast<double>(boundary);
    store.record(reply(router(), m + 1, 2));
    store.record(lost(router(), m + 2));
    store.record(late(lab, m + 3, 2100));
    store.recordRSSI(m + 4, -61);
    store.recordRSSI(m + 14, -62);
    store.recordRSSI(m + 64, -70);
    store.markAsleep(m + 60, m + 120);
    store.flush(m + 180, m + 180, true);
    // A scoped address whose interface name holds a comma (Linux allows it), a host with a line break.
    using V = Database::Value;
    db.run(HistoryStore::insertAggregateSQL,
           {V::integer(boundary + 120), V::integer(60), V::text("custom[1]"), V::text("nas\r\nbox"), V::text("fe80::1%br,0"),
            V::text("icmp"), V::integer(1), V::integer(0), V::integer(0), V::real(2), V::real(2), V::null()});
    putPeriod(db, boundary + 120, 60, "measured");

    EXPECT_EQ(HistoryCSV::exportAggregates(store, m - 7200 + 15, m + 240, exportNow),
              header +
                  "2026-03-15T11:00:00+01:00,3600,measured,router,192.168.1.1,icmp,3600,36,2,1.0,1.500,4.000,0.250,-55\n"
                  "2026-03-15T12:00:00+01:00,3600,not_running,,,,,,,,,,,\n"
                  "2026-03-15T13:00:00+01:00,60,measured,router,192.168.1.1,icmp,2,1,0,50.0,2.000,2.000,,-62\n"
                  "2026-03-15T13:00:00+01:00,60,measured,\"my \"\"lab\"\", west\",10.0.0.9,icmp,0,0,1,0.0,,,,-62\n"
                  "2026-03-15T13:01:00+01:00,60,asleep,,,,,,,,,,,-70\n"
                  "2026-03-15T13:02:00+01:00,60,measured,\"nas\r\nbox\",\"fe80::1%br,0\",icmp,1,0,0,0.0,2.000,2.000,,\n"
                  "2026-03-15T13:03:00+01:00,60,not_running,,,,,,,,,,,\n");
    // The current minute (12:00 of exportNow) is never exported.
    const std::string recent = HistoryCSV::exportAggregates(store, exportNow - 180, exportNow + 3600, exportNow);
    EXPECT_EQ(std::count(recent.begin(), recent.end(), '\n'), 4);
    EXPECT_NE(recent.find("2026-03-22T12:59:00+01:00,60,not_running"), std::string::npos) << recent;
}

TEST_F(CSVExportTest, MinuteRowsBeforeTheBoundaryStepByMinuteAndDamagedRowsAreSkipped) {
    putPeriod(db, boundary - 3540, 60, "offline");  // a minute row no roll-up has replaced yet
    // An hour row and a minute row at the same start: the hour wins.
    putPeriod(db, boundary - 7200, 3600, "locked");
    putPeriod(db, boundary - 7200, 60, "measured");
    // Lengths no writer makes are damage: left out, they shift nothing.
    for (std::int64_t seconds : {std::int64_t{90}, std::int64_t{0}, std::int64_t{-60}, std::numeric_limits<std::int64_t>::max()})
        putPeriod(db, boundary - 3480, seconds, "paused");
    EXPECT_EQ(HistoryCSV::exportAggregates(store, static_cast<double>(boundary - 7200), static_cast<double>(boundary - 3420), exportNow),
              header +
                  "2026-03-15T10:00:00Z,3600,locked,,,,,,,,,,,\n"
                  "2026-03-15T11:00:00Z,60,not_running,,,,,,,,,,,\n"
                  "2026-03-15T11:01:00Z,60,offline,,,,,,,,,,,\n"
                  "2026-03-15T11:02:00Z,60,not_running,,,,,,,,,,,\n");
}

TEST_F(CSVExportTest, EventsLayout) {
    const Target lab{TargetRole::custom(0), "lab \"x\", y", *ProbeAddress::parse("10.0.0.9")};
    store.addEvent(outage(cloudflare(), noon - 100.5, noon + 20));  // began before the window
    store.addEvent(spike(router(), noon + 600.25, noon + 604.75, 310.5));
    store.addEvent(outage(lab, noon + 3599, noon + 3700));
    store.addEvent(outage(router(), noon - 500, noon - 1));      // over before the window
    store.addEvent(outage(router(), noon + 3600, noon + 3700));  // after it
    store.flush(noon, noon, true);
    EXPECT_EQ(HistoryCSV::exportEvents(store, noon, noon + 3600),
              "start,end,duration_s,type,target,address,worst_rtt_ms\n"
              "2026-03-14T11:58:19Z,2026-03-14T12:00:20Z,120.5,outage,1.1.1.1,1.1.1.1,\n"
              "2026-03-14T12:10:00Z,2026-03-14T12:10:04Z,4.5,spike,router,192.168.1.1,310.500\n"
              "2026-03-14T12:59:59Z,2026-03-14T13:01:40Z,101.0,outage,\"lab \"\"x\"\", y\",10.0.0.9,\n");
}

}  // namespace
}  // namespace nerivane
