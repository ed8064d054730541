#include "NerivaneKit/history/HistoryCSV.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "support/HistoryTestSupport.h"

namespace nerivane {
namespace {

// 2026-03-22T12:00:30Z: the roll-up boundary is 2026-03-15T12:00:00Z.
constexpr double exportNow = noon + 8 * 86400 + 30;
constexpr std::int64_t boundary = static_cast<std::int64_t>(noon) + 86400;

TEST(HistoryCSV, Escaping) {
    EXPECT_EQ(HistoryCSV::escape("1.1.1.1"), "1.1.1.1");
    EXPECT_EQ(HistoryCSV::escape("a,b"), "\"a,b\"");
    EXPECT_EQ(HistoryCSV::escape("say \"hi\""), "\"say \"\"hi\"\"\"");
    EXPECT_EQ(HistoryCSV::escape("two\nlines"), "\"two\nlines\"");
    EXPECT_EQ(HistoryCSV::escape("carriage\rreturn"), "\"carriage\rreturn\"");
    EXPECT_EQ(HistoryCSV::escape(""), "");
}

TEST(HistoryCSV, TimestampsInTheStoresZone) {
    EXPECT_EQ(TimeZone::utc().iso8601(static_cast<std::int64_t>(noon)), "2026-03-14T12:00:00Z");
    EXPECT_EQ(TimeZone::fixed(3600).iso8601(static_cast<std::int64_t>(noon) - 12 * 3600 - 1), "2026-03-14T00:59:59+01:00");
    EXPECT_EQ(TimeZone::fixed(-(9 * 3600 + 1800)).iso8601(0), "1969-12-31T14:30:00-09:30");
    EXPECT_EQ(TimeZone::utc().iso8601(951825600), "2000-02-29T12:00:00Z");
}

TEST(HistoryCSV, NumbersIgnoreTheProcessLocale) {
    EXPECT_EQ(HistoryCSV::fixed(2.0 / 3, 3), "0.667");
    EXPECT_EQ(HistoryCSV::fixed(12.25, 1), "12.2") << "round half to even on the exact binary value, as printf";
    EXPECT_EQ(HistoryCSV::fixed(1234567.5, 1), "1234567.5") << "no grouping";

    // Build a German locale in a temporary folder, where the decimal separator is a comma.
    TempFolder folder;
    const std::string command = "localedef -i de_DE -f UTF-8 " + folder.path("de_DE.UTF-8") + " >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) GTEST_SKIP() << "cannot build a de_DE locale here";
    setenv("LOCPATH", folder.root().c_str(), 1);
    ASSERT_NE(std::setlocale(LC_NUMERIC, "de_DE.UTF-8"), nullptr);
    char printed[32];
    std::snprintf(printed, sizeof printed, "%.1f", 1.5);
    const std::string inGerman = printed;
    const std::string ours = HistoryCSV::fixed(1.5, 1);
    std::setlocale(LC_NUMERIC, "C");
    unsetenv("LOCPATH");
    EXPECT_EQ(inGerman, "1,5") << "the locale is active";
    EXPECT_EQ(ours, "1.5");
}

class CSVExportTest : public ::testing::Test {
protected:
    TempFolder folder;
    HistoryStore store = openStore(folder.path("history.sqlite"));
};

TEST_F(CSVExportTest, MeasurementsLayout) {
    store.timeZone = TimeZone::fixed(3600);
    const Target lab{TargetRole::custom(0), "my \"lab\", west", *ProbeAddress::parse("10.0.0.9")};
    // An hour row before the boundary (10:00Z) and an hour row that starts before the window (09:00Z).
    const auto b = boundary;
    putPeriod(*store.db, b - 7200, 3600, "measured", -55);
    putAggregate(*store.db, b - 7200, 3600, 3600, 36, 2, 1.5, 4, 0.25);
    putPeriod(*store.db, b - 10800, 3600, "paused");
    // Minutes after the boundary, written the regular way: 12:00 measured
    // (two targets, one with only a late reply), 12:01 asleep with a signal.
    const double m = static_cast<double>(b);
    store.record(reply(router(), m + 1, 2));
    store.record(lost(router(), m + 2));
    store.record(late(lab, m + 3, 2100));
    store.recordRSSI(m + 4, -61);
    store.recordRSSI(m + 14, -62);
    store.recordRSSI(m + 64, -70);
    store.markAsleep(m + 60, m + 120);
    store.flush(m + 180, m + 180, true);

    const std::string text = HistoryCSV::exportAggregates(store, m - 7200 + 15, m + 180, exportNow);
    EXPECT_EQ(text,
              "start,period_s,state,target,address,protocol,sent,lost,late,loss_pct,median_ms,p95_ms,jitter_ms,rssi_dbm\n"
              "2026-03-15T11:00:00+01:00,3600,measured,router,192.168.1.1,icmp,3600,36,2,1.0,1.500,4.000,0.250,-55\n"
              "2026-03-15T12:00:00+01:00,3600,not_running,,,,,,,,,,,\n"
              "2026-03-15T13:00:00+01:00,60,measured,router,192.168.1.1,icmp,2,1,0,50.0,2.000,2.000,,-62\n"
              "2026-03-15T13:00:00+01:00,60,measured,\"my \"\"lab\"\", west\",10.0.0.9,icmp,0,0,1,0.0,,,,-62\n"
              "2026-03-15T13:01:00+01:00,60,asleep,,,,,,,,,,,-70\n"
              "2026-03-15T13:02:00+01:00,60,not_running,,,,,,,,,,,\n");
}

TEST_F(CSVExportTest, MinuteRowsBeforeTheBoundaryStepByMinute) {
    store.timeZone = TimeZone::utc();
    // A minute row before the boundary that no roll-up has replaced yet.
    putPeriod(*store.db, boundary - 3540, 60, "offline");
    // An hour row and a minute row at the same start: the hour wins.
    putPeriod(*store.db, boundary - 7200, 3600, "locked");
    putPeriod(*store.db, boundary - 7200, 60, "measured");
    // Lengths no writer makes are damage: left out, they shift nothing.
    for (std::int64_t seconds : {std::int64_t{90}, std::int64_t{0}, std::int64_t{-60}, std::numeric_limits<std::int64_t>::max()}) putPeriod(*store.db, boundary - 3480, seconds, "paused");
    const double from = static_cast<double>(boundary - 7200);
    const std::string text = HistoryCSV::exportAggregates(store, from, static_cast<double>(boundary - 3420), exportNow);
    EXPECT_EQ(text,
              "start,period_s,state,target,address,protocol,sent,lost,late,loss_pct,median_ms,p95_ms,jitter_ms,rssi_dbm\n"
              "2026-03-15T10:00:00Z,3600,locked,,,,,,,,,,,\n"
              "2026-03-15T11:00:00Z,60,not_running,,,,,,,,,,,\n"
              "2026-03-15T11:01:00Z,60,offline,,,,,,,,,,,\n"
              "2026-03-15T11:02:00Z,60,not_running,,,,,,,,,,,\n");
}

TEST_F(CSVExportTest, HostsAndAddressesWithSeparatorsAreQuoted) {
    store.timeZone = TimeZone::utc();
    // Linux allows a comma in an interface name, and a scoped address carries it.
    putPeriod(*store.db, boundary, 60, "measured");
    using V = Database::Value;
    store.db->run(HistoryStore::insertAggregateSQL,
                  {V::integer(boundary), V::integer(60), V::text("custom[0]"), V::text("nas\r\nbox"),
                   V::text("fe80::1%br,0"), V::text("icmp"), V::integer(1), V::integer(0), V::integer(0), V::real(2),
                   V::real(2), V::null()});
    EXPECT_EQ(HistoryCSV::exportAggregates(store, static_cast<double>(boundary), static_cast<double>(boundary + 60), exportNow),
              "start,period_s,state,target,address,protocol,sent,lost,late,loss_pct,median_ms,p95_ms,jitter_ms,rssi_dbm\n"
              "2026-03-15T12:00:00Z,60,measured,\"nas\r\nbox\",\"fe80::1%br,0\",icmp,1,0,0,0.0,2.000,2.000,,\n");
}

TEST_F(CSVExportTest, TheCurrentMinuteIsNeverExported) {
    const std::string text = HistoryCSV::exportAggregates(store, exportNow - 180, exportNow + 3600, exportNow);
    // 11:57:30 to now (12:00:30): the minutes 11:57, 11:58 and 11:59.
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 4);
    EXPECT_NE(text.find("2026-03-22T11:59:00Z,60,not_running"), std::string::npos);
    EXPECT_EQ(text.find("2026-03-22T12:00:00Z"), std::string::npos);
}

TEST_F(CSVExportTest, EventsLayout) {
    store.timeZone = TimeZone::utc();
    const Target lab{TargetRole::custom(0), "lab \"x\", y", *ProbeAddress::parse("10.0.0.9")};
    store.addEvent(outage(cloudflare(), noon - 100.5, noon + 20));  // began before the window
    store.addEvent(spike(router(), noon + 600.25, noon + 604.75, 310.5));
    store.addEvent(outage(lab, noon + 3599, noon + 3700));
    store.addEvent(outage(router(), noon - 500, noon - 1));   // over before the window
    store.addEvent(outage(router(), noon + 3600, noon + 3700));  // after it
    store.flush(noon, noon, true);
    EXPECT_EQ(HistoryCSV::exportEvents(store, noon, noon + 3600),
              "start,end,duration_s,type,target,address,worst_rtt_ms\n"
              "2026-03-14T11:58:19Z,2026-03-14T12:00:20Z,120.5,outage,1.1.1.1,1.1.1.1,\n"
              "2026-03-14T12:10:00Z,2026-03-14T12:10:04Z,4.5,spike,router,192.168.1.1,310.500\n"
              "2026-03-14T12:59:59Z,2026-03-14T13:01:40Z,101.0,outage,\"lab \"\"x\"\", y\",10.0.0.9,\n");
    EXPECT_EQ(HistoryCSV::exportEvents(store, noon + 7200, noon + 9000),
              "start,end,duration_s,type,target,address,worst_rtt_ms\n");
}

}  // namespace
}  // namespace nerivane
