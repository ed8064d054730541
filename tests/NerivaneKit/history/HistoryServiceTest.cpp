#include "NerivaneKit/history/History.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

#include "NerivaneKit/history/HistoryTestSupport.h"

namespace nerivane {
namespace {

// The date and both clocks of a History, moved by the test.
struct FakeTime {
    std::atomic<double> date = noon + 5;
    std::atomic<std::uint64_t> monotonic = 5'000'000'000, continuous = 7'000'000'000;

    // Time passing while awake: the date and both clocks advance together.
    void advance(double seconds) {
        sleep(seconds);
        monotonic += static_cast<std::uint64_t>(seconds * 1e9);
    }
    // Time passing in sleep: the monotonic clock stands still.
    void sleep(double seconds) {
        date = date + seconds;
        continuous += static_cast<std::uint64_t>(seconds * 1e9);
    }
};

class HistoryServiceTest : public ::testing::Test {
protected:
    TempFolder folder;
    FakeTime time;
    LogStore logs{quietLogs()};

    History::Options options() {
        History::Options options;
        // The fixture outlives every History a test opens.
        options.clocks = ClockSource{[this] { return time.monotonic.load(); }, [this] { return time.continuous.load(); }};
        options.date = [this] { return time.date.load(); };
        options.timeZone = TimeZone::utc();
        options.log = Log("history", std::string(Log::defaultSubsystem), logs);
        return options;
    }

    std::unique_ptr<History> open(const std::string& name = "history.sqlite") {
        return std::make_unique<History>(folder.path(name), options());
    }

    std::vector<std::string> loggedErrors() {
        std::vector<std::string> messages;
        for (const auto& entry : logs.entries(std::chrono::seconds(600))) {
            if (entry.level == LogLevel::error && entry.category == "history") messages.push_back(entry.message);
        }
        return messages;
    }

    static std::vector<PeriodRow> periods(History& history) {
        return history.withStore([](HistoryStore& store) { return store.periods("1", {}); });
    }
    // The stored periods as (minutes after noon, state).
    using States = std::vector<std::pair<std::int64_t, MinuteState>>;
    static States states(History& history) {
        States stored;
        for (const auto& row : periods(history)) stored.emplace_back((row.start - static_cast<std::int64_t>(noon)) / 60, row.state);
        return stored;
    }
    static std::vector<AggregateRow> aggregates(History& history) {
        return history.withStore([](HistoryStore& store) { return store.aggregates("1", {}); });
    }
};

TEST_F(HistoryServiceTest, OpenCreatesTheFolderAndTheSchema) {
    auto history = open("deep/er/history.sqlite");
    EXPECT_EQ(history->withStore([](HistoryStore& store) { return store.db->userVersion(); }), 1);

    // A folder below a file cannot be created.
    std::ofstream(folder.path("plain-file")) << "x";
    const std::string blocked = errorOf([&] { History(folder.path("plain-file/history.sqlite"), options()); });
    EXPECT_EQ(blocked.rfind("open: ", 0), 0u) << blocked;
}

TEST_F(HistoryServiceTest, LocationFromTheEnvironment) {
    EXPECT_EQ(History::defaultPath("/data", "/home/u"), "/data/nerivane/history.sqlite");
    EXPECT_EQ(History::defaultPath("relative", "/home/u"), "/home/u/.local/share/nerivane/history.sqlite");
    EXPECT_EQ(History::defaultPath(nullptr, "/home/u"), "/home/u/.local/share/nerivane/history.sqlite");
    EXPECT_EQ(History::defaultPath(nullptr, nullptr), std::nullopt);

    const char* saved = std::getenv("NERIVANE_HISTORY");
    const std::optional<std::string> restore = saved ? std::optional<std::string>(saved) : std::nullopt;
    setenv("NERIVANE_HISTORY", "/tmp/elsewhere.sqlite", 1);
    EXPECT_EQ(History::configuredPath(), "/tmp/elsewhere.sqlite");
    setenv("NERIVANE_HISTORY", "", 1);
    EXPECT_EQ(History::configuredPath(), History::defaultPath());
    if (restore) setenv("NERIVANE_HISTORY", restore->c_str(), 1);
    else unsetenv("NERIVANE_HISTORY");
}

TEST_F(HistoryServiceTest, InboxKeepsTheOrderOfProbesAndStates) {
    auto history = open();
    history->record({}, MinuteState::measured);
    time.date = noon + 70;
    history->setState(MinuteState::paused);  // minute 12:01 becomes paused
    time.date = noon + 130;
    // A late reply for 12:03 arrives with the change to offline: the probe is
    // applied first, so its minute opens while the store is still paused.
    history->record({late(router(), noon + 185, 2500)}, MinuteState::offline);
    history->record({}, MinuteState::offline);  // no change: no entry
    time.date = noon + 250;
    history->record({reply(router(), noon + 245, 3)}, MinuteState::measured);
    history->close();

    EXPECT_EQ(states(*history), (States{{1, MinuteState::paused},
                                        {2, MinuteState::offline},
                                        {3, MinuteState::paused},
                                        {4, MinuteState::measured}}));
    EXPECT_EQ(history->withStore([](HistoryStore& store) { return store.state; }), MinuteState::measured);
}

TEST_F(HistoryServiceTest, SleepMarksTheMinutesSleptThrough) {
    auto history = open();
    history->tick();  // 12:00:05, first write
    time.advance(5);
    time.sleep(0.8);  // a clock difference under one second marks nothing
    history->tick();
    time.sleep(300);  // 12:00:10.8 .. 12:05:10.8
    history->tick();
    history->close();
    const auto asleep = MinuteState::asleep;
    EXPECT_EQ(states(*history),
              (States{{0, asleep}, {1, asleep}, {2, asleep}, {3, asleep}, {4, asleep}, {5, MinuteState::measured}}));
}

TEST_F(HistoryServiceTest, TicksWriteClosedMinutesAtMostOnceAMinute) {
    auto history = open();
    time.date = noon;
    for (int second = 0; second < 200; second += 10) {
        history->record({reply(router(), noon + second, 1)}, MinuteState::measured);
        history->tick();
        const auto written = periods(*history).size();
        // Writes happen at 12:00:00, 12:01:00, 12:02:00 ...; 12:00 is over for
        // 40 s at 12:01:40, so 12:02:00 writes it, and 12:03:00 writes 12:01.
        const std::size_t expected = second < 120 ? 0 : second < 180 ? 1 : 2;
        EXPECT_EQ(written, expected) << "at second " << second;
        time.advance(10);
    }
}

TEST_F(HistoryServiceTest, ReadsSeeEverythingHandedIn) {
    auto history = open();
    history->record({reply(cloudflare(), noon + 1, 10), reply(cloudflare(), noon + 2, 14), lost(cloudflare(), noon + 3)},
                    MinuteState::measured);
    history->record(outage(router(), noon - 20, noon + 4));
    // The event is written by the read's forced flush.
    auto events = history->latestEvents(10);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].host, "router");

    time.date = noon + 75;
    auto buckets = history->chart(ChartRange::hour, TargetRole::internet(0), noon + 75);
    ASSERT_EQ(buckets.size(), 60u);
    EXPECT_EQ(buckets[58], (ChartBucket{noon, MinuteState::measured, 10, 14, 100.0 / 3, {}}));

    const std::string csv = history->exportAggregates(noon, noon + 3600);
    EXPECT_NE(csv.find("2026-03-14T12:00:00Z,60,measured,1.1.1.1,1.1.1.1,icmp,3,1,0,33.3,10.000,14.000,4.000,\n"),
              std::string::npos)
        << csv;
    EXPECT_NE(history->exportEvents(noon, noon + 60).find(",outage,router,192.168.1.1,\n"), std::string::npos);
}

TEST_F(HistoryServiceTest, TimerTicksAndReadsWaitForIt) {
    auto history = open();
    std::atomic<int> readings = 0;
    history->start([&]() -> std::optional<std::int64_t> {
        readings += 1;
        return -67;
    });
    // The first tick runs at once; a read queued behind it sees its reading.
    for (int i = 0; i < 200 && readings == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    auto rssi = history->withStore([](HistoryStore& store) {
        return store.open.empty() ? std::vector<std::int64_t>{} : store.open.begin()->second.rssi;
    });
    ASSERT_FALSE(rssi.empty());
    for (auto reading : rssi) EXPECT_EQ(reading, -67);
    history->close();
    EXPECT_EQ(periods(*history).front().rssi, -67);
}

TEST_F(HistoryServiceTest, RecordsFromManyThreadsAreAllCounted) {
    auto history = open();
    constexpr int threads = 4, perThread = 2000;
    std::vector<std::thread> senders;
    for (int t = 0; t < threads; ++t) {
        senders.emplace_back([&, t] {
            const Target target{TargetRole::custom(t), "h" + std::to_string(t), ProbeAddress::v4({10, 0, 0, static_cast<std::uint8_t>(t)})};
            for (int i = 0; i < perThread; ++i) {
                if (i % 2) history->record({reply(target, noon + (i % 600), 1)}, MinuteState::measured);
                else history->record(lost(target, noon + (i % 600)));
            }
        });
    }
    for (int i = 0; i < 20; ++i) history->tick();
    for (auto& sender : senders) sender.join();
    history->close();
    std::int64_t sent = 0;
    for (const auto& row : aggregates(*history)) sent += row.sent;
    EXPECT_EQ(sent, threads * perThread);
}

TEST_F(HistoryServiceTest, ATickThatCannotWriteLogsAndKeepsTheData) {
    auto history = open();
    history->withStore([](HistoryStore& store) {
        store.db->execute("CREATE TRIGGER refuse BEFORE INSERT ON periods BEGIN SELECT RAISE(ABORT, 'disk says no'); END");
    });
    history->record({reply(router(), noon + 1, 2)}, MinuteState::measured);
    time.advance(100);
    history->tick();
    EXPECT_EQ(loggedErrors(), (std::vector<std::string>{"run: disk says no"}));
    EXPECT_THROW(history->latestEvents(10), Database::Error) << "reads report the failure";
    history->withStore([](HistoryStore& store) { store.db->execute("DROP TRIGGER refuse"); });
    time.advance(10);
    history->tick();
    EXPECT_EQ(aggregates(*history).size(), 1u);
}

}  // namespace
}  // namespace nerivane
