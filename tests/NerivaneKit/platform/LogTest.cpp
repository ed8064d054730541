#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "NerivaneKit/platform/Log.h"
#include "NerivaneKit/platform/LogStore.h"
#include "NerivaneKit/platform/UniqueFd.h"

namespace nerivane {
namespace {

using namespace std::chrono_literals;

constexpr std::uint64_t second = 1'000'000'000ull;

// A store with hand-driven clocks whose stderr output goes into a pipe.
struct Fixture {
    std::atomic<std::uint64_t> now{1'000 * second};
    UniqueFd readEnd;
    UniqueFd writeEnd;
    std::unique_ptr<LogStore> store;

    explicit Fixture(LogStore::StderrOutput output = LogStore::StderrOutput::withoutJournal,
                     std::size_t capacity = 20'000) {
        int fds[2];
        EXPECT_EQ(pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
        readEnd.reset(fds[0]);
        writeEnd.reset(fds[1]);
        LogStore::Configuration configuration;
        configuration.journal = false;
        configuration.stderrDescriptor = writeEnd.get();
        configuration.stderrOutput = output;
        configuration.continuous = [this] { return now.load(); };
        // 2024-01-02 03:04:05.678 UTC, plus whatever the fake clock advanced.
        configuration.realtime = [this] { return 1'704'164'645'678'000'000ull + (now.load() - 1'000 * second); };
        configuration.capacity = capacity;
        store = std::make_unique<LogStore>(std::move(configuration));
    }

    std::string output() const {
        std::string text;
        char buffer[4096];
        ssize_t n;
        while ((n = ::read(readEnd.get(), buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<std::size_t>(n));
        return text;
    }

    static std::vector<std::string> messages(const std::vector<LogEntry>& entries) {
        std::vector<std::string> result;
        for (const auto& entry : entries) result.push_back(entry.message);
        return result;
    }
};

TEST(LogStore, KeepsTheLastTenMinutes) {
    Fixture fixture;
    Log log("targets", std::string(Log::defaultSubsystem), *fixture.store);
    log.info("first");
    fixture.now += 300 * second;
    log.error("second");
    fixture.now += 299 * second;
    log.debug("third");

    // "first" is 599 s old: still in.
    EXPECT_EQ(Fixture::messages(fixture.store->entries(600s)), (std::vector<std::string>{"first", "second", "third"}));
    EXPECT_EQ(Fixture::messages(fixture.store->entries(300s)), (std::vector<std::string>{"second", "third"}));
    EXPECT_EQ(Fixture::messages(fixture.store->entries(0s)), (std::vector<std::string>{"third"}));

    // 601 s old: gone from the window, and pruned by the next write.
    fixture.now += 2 * second;
    EXPECT_EQ(Fixture::messages(fixture.store->entries(600s)), (std::vector<std::string>{"second", "third"}));
    log.info("fourth");
    EXPECT_EQ(Fixture::messages(fixture.store->entries(3600s)), (std::vector<std::string>{"second", "third", "fourth"}));

    const auto entries = fixture.store->entries(600s);
    EXPECT_EQ(entries[0].level, LogLevel::error);
    EXPECT_EQ(entries[0].category, "targets");
    EXPECT_EQ(entries[0].subsystem, "org.nerivane.Nerivane");
    EXPECT_EQ(entries[0].time, 1'300 * second);
    EXPECT_EQ(entries[1].level, LogLevel::debug);
}

TEST(LogStore, FiltersBySubsystemAndBoundsItsSize) {
    Fixture fixture(LogStore::StderrOutput::never, 3);
    Log app("app", "org.nerivane.Nerivane", *fixture.store);
    Log other("app", "org.example.Other", *fixture.store);
    app.info("a1");
    other.info("o1");
    app.info("a2");
    EXPECT_EQ(Fixture::messages(fixture.store->entries(600s, "org.nerivane.Nerivane")),
              (std::vector<std::string>{"a1", "a2"}));
    app.info("a3");  // a flood keeps the newest
    EXPECT_EQ(Fixture::messages(fixture.store->entries(600s)), (std::vector<std::string>{"o1", "a2", "a3"}));
}

TEST(LogStore, ClockStepsBackDoNotLoseEntries) {
    Fixture fixture(LogStore::StderrOutput::never);
    Log log("stats", std::string(Log::defaultSubsystem), *fixture.store);
    log.info("before");
    fixture.now -= 5 * second;
    log.info("after");
    EXPECT_EQ(Fixture::messages(fixture.store->entries(1s)), (std::vector<std::string>{"before", "after"}));
}

TEST(LogStore, WritesFromManyThreadsAreAllKept) {
    Fixture fixture(LogStore::StderrOutput::never);
    constexpr int threads = 4;
    constexpr int perThread = 2'000;
    std::atomic<bool> reading{true};
    std::thread reader([&] {
        while (reading) {
            const auto entries = fixture.store->entries(600s);
            for (std::size_t i = 1; i < entries.size(); ++i) ASSERT_LE(entries[i - 1].time, entries[i].time);
        }
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t) {
        writers.emplace_back([&, t] {
            Log log("history", std::string(Log::defaultSubsystem), *fixture.store);
            for (int i = 0; i < perThread; ++i) {
                log.info(Log::format("thread %d message %d", t, i));
                fixture.now += 1;
            }
        });
    }
    for (auto& writer : writers) writer.join();
    reading = false;
    reader.join();

    const auto entries = fixture.store->entries(600s);
    ASSERT_EQ(entries.size(), std::size_t(threads * perThread));
    // Each thread's messages keep their order.
    std::vector<int> next(threads, 0);
    for (const auto& entry : entries) {
        int t = -1, i = -1;
        ASSERT_EQ(std::sscanf(entry.message.c_str(), "thread %d message %d", &t, &i), 2);
        EXPECT_EQ(i, next[t]++);
    }
}

TEST(LogStore, StderrLineFormat) {
    Fixture fixture;
    Log log("targets", std::string(Log::defaultSubsystem), *fixture.store);
    log.info("path eth0 targets router=192.168.1.1");
    log.error("history unavailable: open: unable to open database file");
    log.debug("tick");
    const std::string text = fixture.output();

    const std::regex expected(
        "\\d\\d:\\d\\d:\\d\\d\\.678 nerivane\\[targets\\] path eth0 targets router=192\\.168\\.1\\.1\n"
        "\\d\\d:\\d\\d:\\d\\d\\.678 nerivane\\[targets\\] error: history unavailable: open: unable to open database file\n"
        "\\d\\d:\\d\\d:\\d\\d\\.678 nerivane\\[targets\\] debug: tick\n");
    EXPECT_TRUE(std::regex_match(text, expected)) << text;

    // Time zones move hours and minutes, never the seconds.
    const LogEntry entry{0, 1'704'164'645'678'000'000ull, LogLevel::info, "s", "app", "hello"};
    const std::string line = LogStore::stderrLine(entry);
    EXPECT_TRUE(line.ends_with(":05.678 nerivane[app] hello")) << line;
}

TEST(LogStore, StderrCanBeSwitchedOffAndOn) {
    Fixture fixture;
    Log log("app", std::string(Log::defaultSubsystem), *fixture.store);
    fixture.store->setStderrOutput(LogStore::StderrOutput::never);
    EXPECT_EQ(fixture.store->stderrOutput(), LogStore::StderrOutput::never);
    log.info("quiet");
    EXPECT_EQ(fixture.output(), "");
    // Still recorded for the diagnostics report.
    EXPECT_EQ(Fixture::messages(fixture.store->entries(600s)), (std::vector<std::string>{"quiet"}));

    fixture.store->setStderrOutput(LogStore::StderrOutput::always);
    log.info("loud");
    EXPECT_NE(fixture.output().find("nerivane[app] loud\n"), std::string::npos);
}

TEST(LogStore, JournalReachabilityNeedsAListeningSocket) {
    EXPECT_FALSE(LogStore::journalReachable("/nonexistent/journal/socket"));
    EXPECT_FALSE(LogStore::journalReachable(""));

    char directory[] = "/tmp/nerivane-log-XXXXXX";
    ASSERT_NE(mkdtemp(directory), nullptr);
    const std::string path = std::string(directory) + "/socket";
    UniqueFd listener(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    ASSERT_EQ(::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_TRUE(LogStore::journalReachable(path));
    listener.reset();
    // A socket file whose owner is gone refuses the connection.
    EXPECT_FALSE(LogStore::journalReachable(path));
    ::unlink(path.c_str());
    ::rmdir(directory);
}

TEST(Log, DefaultsAndFormatting) {
    Log log("app");
    EXPECT_EQ(log.subsystem(), "org.nerivane.Nerivane");
    EXPECT_EQ(log.category(), "app");
    EXPECT_EQ(Log::format("interval %g s%s", 5.0, " (battery)"), "interval 5 s (battery)");
    EXPECT_EQ(Log::format("%s", ""), "");
    const std::string big(10'000, 'x');
    EXPECT_EQ(Log::format("%s!", big.c_str()), big + "!");
}

}  // namespace
}  // namespace nerivane
