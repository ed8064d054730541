#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "NerivaneKit/platform/Log.h"
#include "NerivaneKit/platform/LogStore.h"
#include "NerivaneKit/platform/UniqueFd.h"
#include "support/HistoryTestSupport.h"

namespace nerivane {
namespace {

using namespace std::chrono_literals;
using Texts = std::vector<std::string>;
constexpr std::uint64_t second = 1'000'000'000ull;

// A store with a hand-driven clock whose stderr output goes into a pipe.
class LogStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        int fds[2];
        ASSERT_EQ(pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
        readEnd.reset(fds[0]);
        writeEnd.reset(fds[1]);
        auto configuration = quietLogs();
        configuration.stderrDescriptor = writeEnd.get();
        configuration.stderrOutput = LogStore::StderrOutput::withoutJournal;
        configuration.continuous = [this] { return ContinuousClock::time_point{std::chrono::nanoseconds(now.load())}; };
        // 2024-01-02 03:04:05.678 UTC, plus whatever the fake clock advanced.
        configuration.realtime = [this] { return std::chrono::sys_time<std::chrono::nanoseconds>{1'704'164'645'678'000'000ns + (now.load() - 1'000 * second) * 1ns}; };
        store = std::make_unique<LogStore>(std::move(configuration));
    }
    std::string output() const {
        std::string text;
        char buffer[4096];
        for (ssize_t n; (n = ::read(readEnd.get(), buffer, sizeof buffer)) > 0;) text.append(buffer, std::size_t(n));
        return text;
    }
    Texts messages(std::chrono::seconds window) const {
        Texts result;
        for (const auto& entry : store->entries(window)) result.push_back(entry.message);
        return result;
    }

    std::atomic<std::uint64_t> now{1'000 * second};
    UniqueFd readEnd, writeEnd;
    std::unique_ptr<LogStore> store;
};

TEST_F(LogStoreTest, KeepsTheLastTenMinutesWhicheverWayTheClockSteps) {
    Log log("targets", std::string(Log::defaultSubsystem), *store);
    log.info("first");
    now += 300 * second;
    log.error("second");
    now += 299 * second;
    log.debug("third");
    EXPECT_EQ(messages(600s), (Texts{"first", "second", "third"}));  // "first" is 599 s old
    EXPECT_EQ(messages(300s), (Texts{"second", "third"}));
    now += 2 * second;
    EXPECT_EQ(messages(600s), (Texts{"second", "third"}));
    log.info("fourth");  // the write prunes it
    EXPECT_EQ(messages(3600s), (Texts{"second", "third", "fourth"}));
    // A clock that steps back loses nothing.
    now -= 5 * second;
    log.info("after");
    EXPECT_EQ(messages(1s), (Texts{"third", "fourth", "after"}));
}

TEST_F(LogStoreTest, StderrLinesAndSwitchingThemOffAndOn) {
    Log log("targets", std::string(Log::defaultSubsystem), *store);
    log.info("path eth0 targets router=192.168.1.1");
    log.error(Log::format("history unavailable: %s", "open"));
    log.debug("tick");
    const std::string text = output();
    const std::regex expected("\\d\\d:\\d\\d:\\d\\d\\.678 nerivane\\[targets\\] path eth0 targets router=192\\.168\\.1\\.1\n"
                              "\\d\\d:\\d\\d:\\d\\d\\.678 nerivane\\[targets\\] error: history unavailable: open\n");
    EXPECT_TRUE(std::regex_match(text, expected)) << text;
    // Time zones move hours and minutes, never the seconds.
    const std::string line = LogStore::stderrLine({0, 1'704'164'645'678'000'000ull, LogLevel::info, "s", "app", "hello"});
    EXPECT_TRUE(line.ends_with(":05.678 nerivane[app] hello")) << line;
    // Switched off, messages are still recorded for the diagnostics report.
    store->setStderrOutput(LogStore::StderrOutput::never);
    const std::string big(10'000, 'x');  // texts of any length
    log.info(Log::format("%s!", big.c_str()));
    EXPECT_EQ(output(), "");
    EXPECT_EQ(messages(600s).back(), big + "!");
    store->setStderrOutput(LogStore::StderrOutput::always);
    log.debug("loud");
    EXPECT_NE(output().find("nerivane[targets] debug: loud\n"), std::string::npos);
}

}  // namespace
}  // namespace nerivane
