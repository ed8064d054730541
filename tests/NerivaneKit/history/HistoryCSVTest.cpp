#include "NerivaneKit/history/HistoryCSV.h"

#include <gtest/gtest.h>

#include <limits>

#include "support/HistoryTestSupport.h"

namespace nerivane {
namespace {

// 2026-03-22T12:00:30Z: the roll-up boundary is 2026-03-15T12:00:00Z.
constexpr double exportNow = noon + 8 * 86400 + 30;
constexpr std::int64_t boundary = noonSeconds + 86400;
const std::string header =
    "start,period_s,state,target,address,protocol,sent,lost,late,loss_pct,median_ms,p95_ms,jitter_ms,rssi_dbm,"
    "dns_median_ms,dns_failures,sent_bytes,received_bytes,busy_upload_median_ms,busy_download_median_ms\n";

TEST(HistoryCSV, FieldsWithSeparatorsAreQuoted) {
    for (const auto& [field, written] : std::vector<std::pair<std::string, std::string>>{
             {"1.1.1.1", "1.1.1.1"}, {"a,b", "\"a,b\""}, {"say \"hi\"", "\"say \"\"hi\"\"\""},
             {"two\nlines", "\"two\nlines\""}, {"carriage\rreturn", "\"carriage\rreturn\""}, {"", ""}})
        EXPECT_EQ(HistoryCSV::escape(field), written) << field;
}

TEST(CSVExport, MinuteRowsBeforeTheBoundaryStepByMinuteAndDamagedRowsAreSkipped) {
    TempFolder folder;
    HistoryWriter store(std::make_shared<Database>(folder.path("history.sqlite")), TimeZone::fixed(3600));
    store.prepareSchema();
    Database& db = store.database();
    // An hour row and a minute row at the same start: the hour wins. Only
    // the hour had name lookups.
    putPeriod(db, boundary - 7200, 3600, "locked", -55, 12.5, 3);
    putAggregate(db, boundary - 7200, 3600, 3600, 36, 2, 1.5, 4, 0.25);
    putPeriod(db, boundary - 7200, 60, "measured");
    // A minute row no roll-up has replaced yet: a host with a line break, and
    // a scoped address whose interface name holds a comma (Linux allows it).
    // Its counters were read: bytes, and a busy upload median (no busy download).
    using V = Database::Value;
    db.run(HistoryWriter::insertPeriodSQL, {V::integer(boundary - 3540), V::integer(60), V::text("measured"), V::null(),
                                           V::null(), V::null(), V::integer(1500), V::integer(90000), V::real(1e5)});
    db.run(HistoryWriter::insertAggregateSQL,
           {V::integer(boundary - 3540), V::integer(60), V::text("custom[1]"), V::text("nas\r\nbox"), V::text("fe80::1%br,0"),
            V::text("icmp"), V::integer(1), V::integer(0), V::integer(0), V::real(2), V::real(2), V::null(), V::real(41.5),
            V::integer(1), V::null(), V::integer(0)});
    // Lengths no writer makes are damage: left out, they shift nothing.
    for (std::int64_t seconds : {std::int64_t{90}, std::int64_t{0}, std::int64_t{-60}, std::numeric_limits<std::int64_t>::max()})
        putPeriod(db, boundary - 3480, seconds, "paused");
    EXPECT_EQ(HistoryCSV::exportAggregates(store.queries(), unixDate(static_cast<double>(boundary - 7200)), unixDate(static_cast<double>(boundary - 3420)), unixDate(exportNow)),
              header +
                  "2026-03-15T11:00:00+01:00,3600,locked,router,192.168.1.1,icmp,3600,36,2,1.0,1.500,4.000,0.250,-55,12.500,3,,,,\n"
                  "2026-03-15T12:00:00+01:00,60,not_running,,,,,,,,,,,,,,,,,\n"
                  "2026-03-15T12:01:00+01:00,60,measured,\"nas\r\nbox\",\"fe80::1%br,0\",icmp,1,0,0,0.0,2.000,2.000,,,,,1500,90000,41.500,\n"
                  "2026-03-15T12:02:00+01:00,60,not_running,,,,,,,,,,,,,,,,,\n");
}

}  // namespace
}  // namespace nerivane
