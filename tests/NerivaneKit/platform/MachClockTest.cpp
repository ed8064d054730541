#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

#include "NerivaneKit/platform/MachClock.h"

namespace nerivane {
namespace {

constexpr std::uint64_t maximum = std::numeric_limits<std::uint64_t>::max();

TEST(MachClock, MillisecondsBetweenTicksAreZeroUnlessTheSecondIsLater) {
    const struct {
        std::uint64_t from, to;
        double milliseconds;
    } cases[] = {
        {0, 0, 0.0}, {5'000'000, 5'000'000, 0.0}, {5'000'001, 5'000'000, 0.0}, {maximum, 0, 0.0},
        {maximum, maximum - 1, 0.0},  // no unsigned wrap-around
        {0, 1, 1e-6}, {1'000, 1'001'000, 1.0}, {10, 2'500'000'010, 2'500.0}, {maximum - 1'000'000, maximum, 1.0},
        {0, maximum, static_cast<double>(maximum) / 1e6},
    };
    for (const auto& c : cases) EXPECT_DOUBLE_EQ(MachClock::milliseconds(c.from, c.to), c.milliseconds) << c.from << " " << c.to;
}

TEST(MachClock, TicksForSeconds) {
    const std::pair<double, std::uint64_t> cases[] = {
        {0, 0}, {-0.0, 0}, {1e-9, 1}, {0.001, 1'000'000}, {0.25, 250'000'000}, {30, 30'000'000'000},
        {315'360'000, 315'360'000'000'000'000},  // ten years still fit comfortably
    };
    for (const auto& [seconds, ticks] : cases) EXPECT_EQ(MachClock::ticks(seconds), ticks) << seconds;
    // The largest duration below 2^64 ticks.
    EXPECT_GT(MachClock::ticks(std::nextafter(18446744073.709551616, 0.0)), maximum - 10'000'000u);
}

TEST(MachClockDeathTest, TicksThatDoNotFitAreAProgrammingError) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (const double seconds : {-1.0, -1e-9, 18446744073.709551616, std::numeric_limits<double>::infinity(),
                                 std::numeric_limits<double>::quiet_NaN()})
        EXPECT_DEATH(MachClock::ticks(seconds), "does not fit") << seconds;
}

TEST(MachClock, ClocksMoveForwardAndTheContinuousOneIsNeverBehind) {
    const std::uint64_t monotonic = MachClock::now();
    // Boot time includes suspended time on top of the monotonic clock.
    EXPECT_GE(MachClock::continuousNow(), monotonic);
    EXPECT_GE(MachClock::now(), monotonic);
    // The real-time clock is in Unix nanoseconds: after 2020.
    EXPECT_GT(MachClock::realtimeNow(), 1'577'836'800ull * 1'000'000'000ull);
}

}  // namespace
}  // namespace nerivane
