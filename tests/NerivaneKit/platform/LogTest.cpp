#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
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
using Texts = std::vector<std::string>;

constexpr std::uint64_t second = 1'000'000'000ull;

// A store with a hand-driven clock whose stderr output goes into a pipe.
class LogStoreTest : public ::testing::Test {
protected:
    void make(LogStore::StderrOutput output = LogStore::StderrOutput::withoutJournal, std::size_t capacity = 20'000) {
        int fds[2];
        ASSERT_EQ(pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
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
    Texts messages(std::chrono::seconds window, std::optional<std::string> subsystem = std::nullopt) const {
        Texts result;
        for (const auto& entry : subsystem ? store->entries(window, *subsystem) : store->entries(window))
            result.push_back(entry.message);
        return result;
    }

    std::atomic<std::uint64_t> now{1'000 * second};
    UniqueFd readEnd, writeEnd;
    std::unique_ptr<LogStore> store;
};

TEST_F(LogStoreTest, KeepsTheLastTenMinutesWhicheverWayTheClockSteps) {
    make();
    Log log("targets", std::string(Log::defaultSubsystem), *store);
    log.info("first");
    now += 300 * second;
    log.error("second");
    now += 299 * second;
    log.debug("third");
    // "first" is 599 s old: still in.
    EXPECT_EQ(messages(600s), (Texts{"first", "second", "third"}));
    EXPECT_EQ(messages(300s), (Texts{"second", "third"}));
    EXPECT_EQ(messages(0s), (Texts{"third"}));
    // 601 s old: gone from the window, and pruned by the next write.
    now += 2 * second;
    EXPECT_EQ(messages(600s), (Texts{"second", "third"}));
    log.info("fourth");
    EXPECT_EQ(messages(3600s), (Texts{"second", "third", "fourth"}));

    EXPECT_EQ(store->entries(600s)[0].time, 1'300 * second);

    // A clock that steps back loses nothing.
    now -= 5 * second;
    log.info("after");
    EXPECT_EQ(messages(1s), (Texts{"third", "fourth", "after"}));
}

TEST_F(LogStoreTest, FiltersBySubsystemAndBoundsItsSize) {
    make(LogStore::StderrOutput::never, 3);
    Log app("app", "org.nerivane.Nerivane", *store);
    Log other("app", "org.example.Other", *store);
    app.info("a1");
    other.info("o1");
    app.info("a2");
    EXPECT_EQ(messages(600s, "org.nerivane.Nerivane"), (Texts{"a1", "a2"}));
    app.info("a3");  // a flood keeps the newest
    EXPECT_EQ(messages(600s), (Texts{"o1", "a2", "a3"}));
}

TEST_F(LogStoreTest, WritesFromManyThreadsAreAllKeptInOrder) {
    make(LogStore::StderrOutput::never);
    constexpr int threads = 4, perThread = 2'000;
    std::atomic<bool> reading{true};
    std::thread reader([&] {
        while (reading) {
            const auto entries = store->entries(600s);
            for (std::size_t i = 1; i < entries.size(); ++i) ASSERT_LE(entries[i - 1].time, entries[i].time);
        }
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t) {
        writers.emplace_back([&, t] {
            Log log("history", std::string(Log::defaultSubsystem), *store);
            for (int i = 0; i < perThread; ++i) {
                log.info(Log::format("thread %d message %d", t, i));
                now += 1;
            }
        });
    }
    for (auto& writer : writers) writer.join();
    reading = false;
    reader.join();

    const auto entries = store->entries(600s);
    ASSERT_EQ(entries.size(), std::size_t(threads * perThread));
    std::vector<int> next(threads, 0);
    for (const auto& entry : entries) {
        int t = -1, i = -1;
        ASSERT_EQ(std::sscanf(entry.message.c_str(), "thread %d message %d", &t, &i), 2);
        EXPECT_EQ(i, next[t]++);
    }
}

TEST_F(LogStoreTest, StderrLinesAndSwitchingThemOffAndOn) {
    make();
    Log log("targets", std::string(Log::defaultSubsystem), *store);
    log.info("path eth0 targets router=192.168.1.1");
    log.error("history unavailable: open: unable to open database file");
    log.debug("tick");
    const std::string text = output();
    const std::regex expected(
        "\\d\\d:\\d\\d:\\d\\d\\.678 nerivane\\[targets\\] path eth0 targets router=192\\.168\\.1\\.1\n"
        "\\d\\d:\\d\\d:\\d\\d\\.678 nerivane\\[targets\\] error: history unavailable: open: unable to open database file\n"
        "\\d\\d:\\d\\d:\\d\\d\\.678 nerivane\\[targets\\] debug: tick\n");
    EXPECT_TRUE(std::regex_match(text, expected)) << text;
    // Time zones move hours and minutes, never the seconds.
    const std::string line = LogStore::stderrLine({0, 1'704'164'645'678'000'000ull, LogLevel::info, "s", "app", "hello"});
    EXPECT_TRUE(line.ends_with(":05.678 nerivane[app] hello")) << line;

    // Switched off, messages are still recorded for the diagnostics report.
    store->setStderrOutput(LogStore::StderrOutput::never);
    log.info("quiet");
    EXPECT_EQ(output(), "");
    EXPECT_EQ(messages(600s).back(), "quiet");
    store->setStderrOutput(LogStore::StderrOutput::always);
    log.info("loud");
    EXPECT_NE(output().find("nerivane[targets] loud\n"), std::string::npos);
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

TEST(Log, FormatsTextsOfAnyLength) {
    EXPECT_EQ(Log::format("interval %g s%s", 5.0, " (battery)"), "interval 5 s (battery)");
    EXPECT_EQ(Log::format("%s", ""), "");
    const std::string big(10'000, 'x');
    EXPECT_EQ(Log::format("%s!", big.c_str()), big + "!");
}

}  // namespace
}  // namespace nerivane
