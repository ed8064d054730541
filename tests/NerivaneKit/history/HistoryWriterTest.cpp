#include "NerivaneKit/history/HistoryWriter.h"

#include <gtest/gtest.h>

#include <charconv>
#include <cstdio>

#include "NerivaneKit/history/HistoryCSV.h"
#include "NerivaneKit/history/HistoryChart.h"
#include "NerivaneKit/history/HistoryGrades.h"

#include "support/HistoryTestSupport.h"

namespace nerivane {
namespace {

class HistoryWriterTest : public ::testing::Test {
protected:
    TempFolder folder;
    HistoryWriter store = openStore(folder.path("history.sqlite"));
    const HistoryQueries& queries = store.queries();
    Database& db = store.database();
};

TEST_F(HistoryWriterTest, RateLimitAndForce) {
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
        store.flush(unixDate(flush), unixDate(flush), force);
        EXPECT_EQ(queries.aggregates("seconds = 60", {}).size(), minutes) << "flush at " << flush - noon;
    }
    EXPECT_EQ(store.lastMaintenance(), unixDate(noon - 86400 + 60)) << "as does maintenance";
    EXPECT_TRUE(store.invariantsHold());
}

TEST_F(HistoryWriterTest, UnconvertibleRowsAreSkipped) {
    db.execute(R"(
        INSERT INTO periods (start, seconds, state, rssi, dns_median, dns_failures) VALUES (60, 60, 'measured', 'strong', NULL, NULL);
        INSERT INTO periods (start, seconds, state, rssi, dns_median, dns_failures) VALUES (120, 60, 'dreaming', NULL, NULL, NULL);
        INSERT INTO periods (start, seconds, state, rssi, dns_median, dns_failures) VALUES ('soon', 60, 'paused', NULL, NULL, NULL);
        INSERT INTO periods (start, seconds, state, rssi, dns_median, dns_failures) VALUES (180.9, 60.0, 'asleep', -55.5, NULL, NULL);
        INSERT INTO aggregates (start, seconds, role, host, address, protocol, sent, lost, late, median, p95, jitter) VALUES (60, 60, 'router', 'router', '10.0.0.1', 'icmp', 1, 0, 0, 1.5, 2, 'x');
        INSERT INTO aggregates (start, seconds, role, host, address, protocol, sent, lost, late, median, p95, jitter) VALUES (60, 60, 'gateway', 'router', '10.0.0.1', 'icmp', 1, 0, 0, NULL, NULL, NULL);
        INSERT INTO aggregates (start, seconds, role, host, address, protocol, sent, lost, late, median, p95, jitter) VALUES (60, 60, 'custom[0]', 'x', '10.0.0.2', 'tcp', 'many', 0, 0, NULL, NULL, NULL);
        INSERT INTO aggregates (start, seconds, role, host, address, protocol, sent, lost, late, median, p95, jitter) VALUES (60, 60, 'custom[1]', 'x', '10.0.0.3', 'tcp', 1e300, 0, 0, NULL, NULL, NULL);
        INSERT INTO events (kind, role, host, address, start, end, worst) VALUES ('outage', 'router', 'r', '10.0.0.1', 1, 2, NULL);
        INSERT INTO events (kind, role, host, address, start, end, worst) VALUES ('storm', 'router', 'r', '10.0.0.1', 1, 2, NULL);
        INSERT INTO events (kind, role, host, address, start, end, worst) VALUES ('spike', 'router', 'r', 'not-an-address', 1, 2, 5);
        INSERT INTO events (kind, role, host, address, start, end, worst) VALUES ('spike', 'internet[0]', 'h', 'fe80::1%nosuchif0', 3, 4, 'bad');
    )");
    EXPECT_EQ(queries.periods("1", {}), (std::vector<PeriodRow>{{60, 60, MinuteState::measured, std::nullopt, {}, {}, {}, {}, {}, {}},
                                                              {180, 60, MinuteState::asleep, -55, {}, {}, {}, {}, {}, {}}}))
        << "reals truncate toward zero";
    auto rows = queries.aggregates("1", {});
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(figures(rows[0]), (Figures{1, 0, 0, 1.5, 2.0, std::nullopt}));
    // An event of a vanished interface is kept, without its scope.
    EXPECT_EQ(queries.events("1 ORDER BY start", {}),
              (std::vector<NetworkEvent>{outage(Target{TargetRole::router(), "r", *ProbeAddress::parse("10.0.0.1")}, 1, 2),
                                         {NetworkEvent::Kind::spike, TargetRole::internet(0), "h", *ProbeAddress::parse("fe80::1"), 3, 4, {}}}));
}

TEST_F(HistoryWriterTest, HourRowsReplaceMinuteRowsAWeekOldInOneTransaction) {
    // "now" is eight days after noon: the boundary is the hour of now's minute minus seven days.
    const double now = noon + 8 * 86400 + 1234;
    const std::int64_t boundary = noonSeconds + 86400, h1 = noonSeconds, h2 = h1 + 3600;
    EXPECT_EQ(HistoryQueries::rollupBoundary(unixDate(now)), boundary);
    // h1: 30 locked + 30 measured minutes, lookups in the first three (medians
    // 10, 30, 20 ms; 0, 1, 2 failures); h2: 40 asleep + 20 offline.
    for (int i = 0; i < 60; ++i) {
        putPeriod(db, h1 + 60 * i, 60, i % 2 ? "locked" : "measured", i < 3 ? std::optional(-50 - 10 * i) : std::nullopt,
                  i < 3 ? std::optional(10.0 + 10 * (i * 2 % 3)) : std::nullopt, i < 3 ? std::optional(i) : std::nullopt);
        putPeriod(db, h2 + 60 * i, 60, i < 40 ? "asleep" : "offline");
    }
    // h1: medians 10, 30, 20 and one NULL; jitter 2 over 10 replies, 8 over 30, NULL over 5. h2: all weights 0.
    putAggregate(db, h1, 60, 10, 0, 1, 10, 12, 2);
    putAggregate(db, h1 + 60, 60, 35, 5, 2, 30, 33, 8);
    putAggregate(db, h1 + 120, 60, 6, 1, 0, 20, 25, std::nullopt);
    putAggregate(db, h1 + 180, 60, 3, 3, 0, std::nullopt, std::nullopt, std::nullopt);
    putAggregate(db, h2, 60, 4, 4, 0, std::nullopt, std::nullopt, 5);
    // Counters in h1's first ten minutes (peaks 0 to 9 kbit/s sent); busy
    // uploads in two of its rows: 90 ms over 3 replies beats 40 ms over 1.
    const std::string h1Text = std::to_string(h1);
    db.execute("UPDATE periods SET sent_bytes = 1000, received_bytes = 4000, peak_sent_bps = (start - " + h1Text +
               ") / 60 * 1000 WHERE start < " + h1Text + " + 600;"
               "UPDATE aggregates SET busy_upload_median = 40, busy_upload_replies = 1 WHERE start = " + h1Text + ";"
               "UPDATE aggregates SET busy_upload_median = 90, busy_upload_replies = 3 WHERE start = " + h1Text + " + 60");
    putPeriod(db, boundary, 60, "measured");  // a recent minute stays a minute
    putAggregate(db, boundary, 60, 60, 0, 0, 1, 2, 0.5);

    // The last step, deleting the minute periods, fails: nothing changes.
    db.execute("CREATE TRIGGER refuse BEFORE DELETE ON periods BEGIN SELECT RAISE(ABORT, 'no'); END");
    EXPECT_THROW(store.rollup(unixDate(now)), Database::Error);
    EXPECT_EQ(count(db, "SELECT count(*) FROM aggregates WHERE seconds = 3600"), 0);
    EXPECT_EQ(count(db, "SELECT count(*) FROM aggregates WHERE seconds = 60"), 6);
    db.execute("DROP TRIGGER refuse");
    store.rollup(unixDate(now));

    EXPECT_EQ(queries.periods("1", {}), (std::vector<PeriodRow>{{h1, 3600, MinuteState::measured, -60, 20.0, 3, 10000, 40000, 9000.0, {}},
                                                              {h2, 3600, MinuteState::asleep, std::nullopt, {}, {}, {}, {}, {}, {}},
                                                              {boundary, 60, MinuteState::measured, std::nullopt, {}, {}, {}, {}, {}, {}}}));
    auto rows = queries.aggregates("1", {});
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].seconds, 3600);
    EXPECT_EQ(figures(rows[0]), (Figures{54, 9, 3, 20.0, 33.0, 6.5}));
    EXPECT_EQ(std::tuple(rows[0].busyUploadMedian, rows[0].busyUploadReplies, rows[0].busyDownloadReplies),
              std::tuple(std::optional(90.0), std::optional<std::int64_t>(4), std::optional<std::int64_t>()));
    EXPECT_EQ(figures(rows[1]), (Figures{4, 4, 0, std::nullopt, std::nullopt, std::nullopt})) << "all weights 0";
    EXPECT_EQ(rows[2].seconds, 60);
}

// A direction is graded from the minutes in which a role met that load in as
// many replies as the running monitor needs before it grades; stray busy
// replies spread over many minutes (an upload's acknowledgements on the
// download side) grade nothing.
TEST(HistoryGrades, OnlyMinutesBusyByTheMonitorsRuleGrade) {
    // A quiet minute (30 ms), then minutes with busy replies: role, minute,
    // busy upload and download replies (at 80 and 90 ms).
    struct Busy { TargetRole role; int minute; std::int64_t upload, download; };
    // Then, for the internet's download: busy replies counted and whether it has a grade.
    struct Case { std::string name; std::vector<Busy> rows; std::int64_t downloadReplies; bool downloadGraded; };
    const auto internet = TargetRole::internet(0);
    const std::vector<Case> cases{
        {"an upload's acknowledgements, two a minute", {{internet, 1, 12, 2}, {internet, 2, 12, 2}, {internet, 3, 0, 2},
                                                       {internet, 4, 0, 2}, {internet, 5, 0, 2}, {internet, 6, 0, 2}}, 0, false},
        {"ten in one minute", {{internet, 1, 0, 10}}, 10, true},
        {"nine in one minute", {{internet, 1, 0, 9}, {internet, 2, 0, 9}}, 0, false},
        {"the IPv4 and IPv6 hosts together", {{internet, 1, 0, 5}, {TargetRole::internetIPv6(), 1, 0, 5}}, 10, true},
        {"the router's replies count for the router only", {{TargetRole::router(), 1, 0, 12}, {internet, 1, 0, 3}}, 0, false},
    };
    for (const Case& test : cases) {
        std::vector<AggregateRow> rows;
        AggregateRow quiet{noonSeconds, 60, internet, "h", "a", ProbeProtocol::icmp, 60, 0, 0, 30.0, 31.0, 1.0, {}, 0, {}, 0};
        rows.push_back(quiet);
        for (const Busy& busy : test.rows) {
            AggregateRow row = quiet;
            row.start = noonSeconds + 60 * busy.minute;
            row.role = busy.role;
            row.address = busy.role.text();
            row.busyUploadReplies = busy.upload;
            row.busyDownloadReplies = busy.download;
            if (busy.upload) row.busyUploadMedian = 80.0;
            if (busy.download) row.busyDownloadMedian = 90.0;
            rows.push_back(row);
        }
        const auto summary = HistoryGrades::summarize({}, rows);
        ASSERT_EQ(summary.grades.size(), 4u);
        const HistoryGrades::Grade& download = summary.grades[3];
        EXPECT_EQ(std::tuple(download.busyReplies, download.grade.has_value(), download.busyMedian.has_value()),
                  std::tuple(test.downloadReplies, test.downloadGraded, test.downloadGraded))
            << test.name;
    }
    // The upload of the first case is graded: 80 ms busy over 30 ms idle.
    std::vector<AggregateRow> upload{{noonSeconds, 60, TargetRole::internet(0), "h", "a", ProbeProtocol::icmp, 60, 0, 0, 30.0,
                                      31.0, 1.0, {}, 0, {}, 0},
                                     {noonSeconds + 60, 60, TargetRole::internet(0), "h", "a", ProbeProtocol::icmp, 60, 0, 0,
                                      50.0, 81.0, 1.0, 80.0, 12, 90.0, 2}};
    EXPECT_EQ(HistoryGrades::summarize({}, upload).grades[1].grade, LoadGrade::b);
}

// Every stored value, both exports and the charts of a generated history of
// eight days, as digests taken before the tables, indexes and reads were
// reworked for speed: what the user sees and what the file holds must not
// change by a byte.
std::string shortest(double value) {
    char buffer[64];
    return std::string(buffer, std::to_chars(buffer, buffer + sizeof buffer, value).ptr);
}
template <class T>
std::string field(const std::optional<T>& value) {
    if (!value) return "-";
    if constexpr (std::is_same_v<T, double>) return shortest(*value);
    else return std::to_string(*value);
}
std::string digest(const std::string& text) {
    std::uint64_t hash = 14695981039346656037ull;  // FNV-1a
    for (unsigned char c : text) hash = (hash ^ c) * 1099511628211ull;
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
    return hex;
}

TEST(HistoryWriterGolden, StoredValuesExportsAndChartsOfAGeneratedHistoryStayTheSame) {
    HistoryWriter store(std::make_shared<Database>(std::nullopt), TimeZone::fixed(3600));
    store.prepareSchema();
    const double end = generateHistory(store, noon + 17, 8 * 1440 + 200);
    EXPECT_TRUE(store.invariantsHold());
    const HistoryQueries& queries = store.queries();
    const double now = end + 42.5;

    std::string stored;
    for (const PeriodRow& row : queries.periods("1", {}))
        stored += std::to_string(row.start) + " " + std::to_string(row.seconds) + " " + std::string(text(row.state)) + " " +
                  field(row.rssi) + " " + field(row.dnsMedian) + " " + field(row.dnsFailures) + " " + field(row.sentBytes) +
                  " " + field(row.receivedBytes) + " " + field(row.peakSentBitsPerSecond) + " " +
                  field(row.peakReceivedBitsPerSecond) + "\n";
    for (const AggregateRow& row : queries.aggregates("1", {}))
        stored += std::to_string(row.start) + " " + std::to_string(row.seconds) + " " + row.role.text() + " " + row.host + " " +
                  row.address + " " + std::string(text(row.probeProtocol)) + " " + std::to_string(row.sent) + " " +
                  std::to_string(row.lost) + " " + std::to_string(row.late) + " " + field(row.median) + " " + field(row.p95) +
                  " " + field(row.jitter) + " " + field(row.busyUploadMedian) + " " + field(row.busyUploadReplies) + " " +
                  field(row.busyDownloadMedian) + " " + field(row.busyDownloadReplies) + "\n";
    for (const NetworkEvent& event : queries.events("1 ORDER BY start", {}))
        stored += std::string(text(event.kind)) + " " + event.role.text() + " " + event.host + " " + event.address.text() + " " +
                  shortest(event.start) + " " + shortest(event.end) + " " + field(event.worstRTT) + "\n";

    std::string charts;
    for (ChartRange range : {ChartRange::hour, ChartRange::day, ChartRange::week})
        for (const TargetRole& role : {TargetRole::router(), TargetRole::internet(0), TargetRole::internetIPv6(),
                                       TargetRole::custom(0), TargetRole::custom(1)})
            for (double at : {now, now - 3 * 86400 - 1234.5})
                for (const ChartBucket& bucket : HistoryChart::read(queries, range, role, unixDate(at)))
                    charts += shortest(bucket.start) + " " + (bucket.state ? std::string(text(*bucket.state)) : "-") + " " +
                              field(bucket.median) + " " + field(bucket.p95) + " " + field(bucket.lossPercent) + " " +
                              field(bucket.rssi) + " " + field(bucket.sentBitsPerSecond) + " " +
                              field(bucket.receivedBitsPerSecond) + "\n";

    const std::string all = HistoryCSV::exportAggregates(queries, unixDate(now - 30 * 86400), unixDate(now), unixDate(now));
    const std::string window = HistoryCSV::exportAggregates(queries, unixDate(noon + 2 * 86400 + 1000.5), unixDate(noon + 8 * 86400 + 77), unixDate(now));
    const std::string events = HistoryCSV::exportEvents(queries, unixDate(noon), unixDate(now));
    EXPECT_EQ(std::count(all.begin(), all.end(), '\n'), 39355);
    EXPECT_EQ(digest(stored), "7a1f510a8aba78b3");
    EXPECT_EQ(digest(charts), "7330f3f07e76bbc3");
    EXPECT_EQ(digest(all), "be5999ec0177df52");
    EXPECT_EQ(digest(window), "4ae96b931fe96ef2");
    EXPECT_EQ(digest(events), "d2089742bb6f9b3c");
}

}  // namespace
}  // namespace nerivane
