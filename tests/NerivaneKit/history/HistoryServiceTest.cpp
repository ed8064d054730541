#include "NerivaneKit/history/History.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <limits>

#include "support/HistoryTestSupport.h"

namespace nerivane {
namespace {

// The date and both clocks of a History, moved by the test. Awake, all three
// advance; asleep, the monotonic clock stands still.
struct FakeTime {
    std::atomic<double> date = noon + 5;
    std::atomic<std::uint64_t> monotonic = 5'000'000'000, continuous = 7'000'000'000;
    void advance(double seconds) { sleep(seconds), monotonic += static_cast<std::uint64_t>(seconds * 1e9); }
    void sleep(double seconds) { date = date + seconds, continuous += static_cast<std::uint64_t>(seconds * 1e9); }
};

class HistoryServiceTest : public ::testing::Test {
protected:
    TempFolder folder;
    FakeTime time;
    LogStore logs{quietLogs()};

    std::unique_ptr<History> open(const std::string& name = "history.sqlite") {
        History::Options options;
        options.clocks = ClockSource{[this] { return Ticks{std::chrono::nanoseconds(time.monotonic.load())}; },
                                    [this] { return ContinuousClock::time_point{std::chrono::nanoseconds(time.continuous.load())}; }};
        options.date = [this] { return time.date.load(); };
        options.timeZone = TimeZone::utc();
        options.log = Log("history", std::string(Log::defaultSubsystem), logs);
        return std::make_unique<History>(folder.path(name), options);
    }
    std::vector<std::string> loggedErrors() {
        std::vector<std::string> messages;
        for (const auto& entry : logs.entries(std::chrono::seconds(600)))
            if (entry.level == LogLevel::error) messages.push_back(entry.message);
        return messages;
    }
    static std::vector<PeriodRow> periods(History& history) {
        return history.withQueries([](const HistoryQueries& store) { return store.periods("1", {}); });
    }
};

TEST_F(HistoryServiceTest, WritesThatKeepFailingBackOffAndHoldAtMostAWeek) {
    auto history = open();
    history->withQueries([](const HistoryQueries& store) {
        store.database().execute("CREATE TRIGGER refuse BEFORE INSERT ON periods BEGIN SELECT RAISE(ABORT, 'disk says no'); END");
    });
    history->record({reply(router(), noon + 1, 2)}, MinuteState::measured);
    time.advance(100);
    history->tick();
    const std::string refused = "run: disk says no";
    EXPECT_EQ(loggedErrors(), (std::vector<std::string>{refused}));
    EXPECT_THROW(history->latestEvents(10), Database::Error) << "reads report the failure";
    // The timer waits 1, then 2, then 4 minutes before it tries again.
    for (int second = 10; second <= 410; second += 10) {
        time.advance(10);
        history->tick();
    }
    EXPECT_EQ(loggedErrors(), (std::vector<std::string>{refused, refused, refused}));
    // A week of unwritten minutes is the most kept; older ones go, with a line.
    history->withWriter([](HistoryWriter& store) {
        for (std::int64_t minute = 0; minute < static_cast<std::int64_t>(History::backlogMinutes) + 5; ++minute)
            store.recordRSSI(unixDate(noon + 600 + 60.0 * static_cast<double>(minute)), -50);
    });
    time.advance(3600);
    history->tick();
    const auto errors = loggedErrors();
    ASSERT_EQ(errors.size(), 5u);
    EXPECT_EQ(errors.back(), "history cannot be written: dropped 14 unwritten minutes, 2026-03-14T12:00:00Z to 2026-03-14T12:14:00Z");
    history->withQueries([](const HistoryQueries& store) { store.database().execute("DROP TRIGGER refuse"); });
    time.advance(3600);
    history->tick();
    EXPECT_EQ(periods(*history).front().start, noonSeconds + 15 * 60);
}

TEST_F(HistoryServiceTest, AnInvalidRetentionIsLoggedOnceAndDeletesNothing) {
    auto history = open("deep/history.sqlite");
    const auto old = noonSeconds - 100 * 86400;
    history->withQueries([&](const HistoryQueries& store) { putPeriod(store.database(), old, 3600, "measured"); });
    auto oldRowKept = [&] { return !periods(*history).empty() && periods(*history).front().start == old; };
    for (int days : {0, -5, std::numeric_limits<int>::max()}) {
        history->setRetentionDays(days);
        history->setRetentionDays(days);
        time.advance(7200);
        history->tick();
        EXPECT_TRUE(oldRowKept()) << days;
    }
    EXPECT_EQ(loggedErrors(), (std::vector<std::string>{
                                  "retention of 0 days is not valid: history is kept until a valid one is set",
                                  "retention of -5 days is not valid: history is kept until a valid one is set"}));
    history->setRetentionDays(30);
    time.advance(7200);
    history->tick();
    EXPECT_FALSE(oldRowKept());
    // It tells when the user was asleep, locked or away: the user's only.
    EXPECT_EQ(std::pair(fileState(folder.path("deep")).mode & 07777, fileState(folder.path("deep/history.sqlite")).mode & 07777),
              std::pair(0700u, 0600u));
}

TEST_F(HistoryServiceTest, MaintenanceWaitsWhileTheWallClockDisagreesWithTheSteadyOne) {
    auto history = open();
    history->setRetentionDays(30);
    history->record({reply(router(), noon + 1, 2)}, MinuteState::measured);
    history->tick();  // 12:00:05: the first maintenance, at once
    time.advance(120);
    history->tick();  // writes 12:00
    auto noonRow = [&] { return periods(*history).empty() ? 0 : periods(*history).front().seconds; };
    auto lastMaintenance = [&] { return history->withWriter([](HistoryWriter& store) { return store.lastMaintenance(); }); };
    // The wall clock leaps 40 days ahead while 10 s pass: 12:00 would be
    // rolled up and then deleted as too old.
    time.date = time.date + 40 * 86400;
    time.advance(10);
    history->tick();
    EXPECT_EQ(std::pair(noonRow(), lastMaintenance()), std::pair(std::int64_t{60}, std::optional(unixDate(noon + 5))));
    EXPECT_EQ(loggedErrors(), std::vector<std::string>{"the clock moved 3456130 s while 130 s passed: roll-up and retention wait a day"});
    time.advance(7200);
    history->tick();
    EXPECT_EQ(loggedErrors().size(), 1u) << "it looks again only after a day";
    // The clock is put right; a day later the two agree again.
    time.date = time.date - 40 * 86400;
    time.advance(86400);
    history->tick();
    EXPECT_EQ(lastMaintenance(), unixDate(time.date.load()));
    // Sleep moves both clocks: eight days asleep is no jump, and 12:00 is rolled up.
    time.sleep(8 * 86400);
    history->tick();
    EXPECT_EQ(noonRow(), 3600);
    EXPECT_EQ(loggedErrors().size(), 1u);
}

// A minute of counter reads and classed probes through the service: its
// bytes, its 10-second peak, the busy medians per direction ("both" counts
// for each), 0 busy replies where counters were read, none where not. Then a
// week of stored minutes: the capacity is the 95th percentile of the active
// minutes' peaks, so chatter, a LAN copy and last month do not count.
TEST_F(HistoryServiceTest, TrafficBusyRepliesAndTheWeeksCapacity) {
    auto history = open();
    EXPECT_EQ(history->linkCapacity(), LinkCapacity{});
    // 12:00:01 to 12:00:59, a read a second: 1 kB up and 2 kB down each,
    // but 125 kB up (1 Mbit/s) each second from :21 to :30.
    std::vector<TrafficSample> traffic;
    for (int second = 1; second < 60; ++second)
        traffic.push_back({noon + second, 1, second > 20 && second <= 30 ? 125'000u : 1000u, 2000});
    history->record(traffic);
    const auto classed = [](const Target& target, double at, std::optional<double> ms, LoadClass load) {
        ProbeRecord probe = ms ? reply(target, at, *ms) : lost(target, at);
        probe.load = load;
        return probe;
    };
    history->record({classed(cloudflare(), noon + 1, 10, LoadClass::idle), classed(cloudflare(), noon + 2, 50, LoadClass::upload),
                     classed(cloudflare(), noon + 3, 70, LoadClass::upload), classed(cloudflare(), noon + 4, 90, LoadClass::both),
                     classed(cloudflare(), noon + 5, 30, LoadClass::download), classed(cloudflare(), noon + 6, {}, LoadClass::upload),
                     classed(router(), noon + 7, 1, LoadClass::unknown), classed(router(), noon + 61, 1, LoadClass::unknown)},
                    MinuteState::measured);
    time.advance(180);
    history->tick();
    using Busy = std::tuple<std::optional<double>, std::optional<std::int64_t>, std::optional<double>, std::optional<std::int64_t>>;
    history->withQueries([](const HistoryQueries& store) {
        const auto periods = store.periods("1", {});
        ASSERT_EQ(periods.size(), 2u);
        EXPECT_EQ(std::tuple(periods[0].sentBytes, periods[0].receivedBytes, periods[0].peakSentBitsPerSecond, periods[0].peakReceivedBitsPerSecond),
                  std::tuple(std::optional<std::int64_t>(1'299'000), std::optional<std::int64_t>(118'000), std::optional(1e6), std::optional(16'000.0)));
        EXPECT_EQ(std::tuple(periods[1].sentBytes, periods[1].peakSentBitsPerSecond), std::tuple(std::optional<std::int64_t>(), std::optional<double>()));
        std::vector<Busy> busy;
        for (const AggregateRow& row : store.aggregates("1", {}))
            busy.emplace_back(row.busyUploadMedian, row.busyUploadReplies, row.busyDownloadMedian, row.busyDownloadReplies);
        EXPECT_EQ(busy, (std::vector<Busy>{{{}, 0, {}, 0}, {70.0, 3, 30.0, 2}, {{}, {}, {}, {}}})) << "router, 1.1.1.1, router a minute on";
    });
    // The chart draws the minute's mean throughput, none for a minute without counters.
    const auto chart = history->chart(ChartRange::hour, TargetRole::internet(0), unixDate(time.date));
    EXPECT_EQ(std::pair(chart[chart.size() - 4].sentBitsPerSecond, chart[chart.size() - 3].sentBitsPerSecond),
              std::pair(std::optional(173'200.0), std::optional<double>()));
    // Over the week before: 60 minutes of chatter, 38 active ones at 1 to 38
    // Mbit/s, two LAN copies at 900 and a row without counters; before it,
    // 5 Gbit/s. With 12:00's 1 Mbit/s: 41 active minutes, the 39th is 38 Mbit/s.
    history->withQueries([](const HistoryQueries& store) {
        std::string sql = "BEGIN;";
        for (int hour = 1; hour <= 101; ++hour) {
            const double sent = hour <= 60 ? 50e3 : hour <= 98 ? (hour - 60) * 1e6 : hour <= 100 ? 900e6 : 0;
            sql += "INSERT INTO periods (start, seconds, state, peak_sent_bps, peak_received_bps) VALUES (" +
                   std::to_string(noonSeconds - hour * 3600) + ", 60, 'measured', " +
                   (hour <= 100 ? std::to_string(sent) + ", 20e3);" : "NULL, NULL);");
        }
        store.database().execute(sql + "INSERT INTO periods (start, seconds, state, peak_sent_bps) VALUES (" +
                          std::to_string(noonSeconds - 8 * 86400) + ", 60, 'measured', 5e9); COMMIT;");
    });
    EXPECT_EQ(history->linkCapacity(), (LinkCapacity{38e6, 0})) << "the chatter of a quiet direction is no capacity";
    EXPECT_TRUE(history->withWriter([](const HistoryWriter& writer) { return writer.invariantsHold(); }));
}

}  // namespace
}  // namespace nerivane
