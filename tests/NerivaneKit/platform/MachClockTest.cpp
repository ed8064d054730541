#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

#include "NerivaneKit/platform/MachClock.h"

namespace nerivane {
namespace {

constexpr std::uint64_t maximum = std::numeric_limits<std::uint64_t>::max();

TEST(MachClock, MillisecondsAreZeroUnlessTheSecondTickIsLater) {
    EXPECT_EQ(MachClock::milliseconds(0, 0), 0.0);
    EXPECT_EQ(MachClock::milliseconds(5'000'000, 5'000'000), 0.0);
    EXPECT_EQ(MachClock::milliseconds(5'000'001, 5'000'000), 0.0);
    EXPECT_EQ(MachClock::milliseconds(maximum, 0), 0.0);
    // No unsigned wrap-around for the earlier-later case.
    EXPECT_EQ(MachClock::milliseconds(maximum, maximum - 1), 0.0);
}

TEST(MachClock, MillisecondsBetweenTicks) {
    EXPECT_DOUBLE_EQ(MachClock::milliseconds(0, 1), 1e-6);
    EXPECT_DOUBLE_EQ(MachClock::milliseconds(1'000, 1'001'000), 1.0);
    EXPECT_DOUBLE_EQ(MachClock::milliseconds(10, 2'500'000'010), 2'500.0);
    EXPECT_DOUBLE_EQ(MachClock::milliseconds(maximum - 1'000'000, maximum), 1.0);
    EXPECT_DOUBLE_EQ(MachClock::milliseconds(0, maximum), static_cast<double>(maximum) / 1e6);
}

TEST(MachClock, TicksForSeconds) {
    EXPECT_EQ(MachClock::ticks(0), 0u);
    EXPECT_EQ(MachClock::ticks(-0.0), 0u);
    EXPECT_EQ(MachClock::ticks(1e-9), 1u);
    EXPECT_EQ(MachClock::ticks(0.001), 1'000'000u);
    EXPECT_EQ(MachClock::ticks(0.25), 250'000'000u);
    EXPECT_EQ(MachClock::ticks(2), 2'000'000'000u);
    EXPECT_EQ(MachClock::ticks(30), 30'000'000'000u);
    // Ten years still fit comfortably.
    EXPECT_EQ(MachClock::ticks(315'360'000), 315'360'000'000'000'000u);
    // The largest duration below 2^64 ticks.
    const double largest = std::nextafter(18446744073.709551616, 0.0);
    EXPECT_GT(MachClock::ticks(largest), maximum - 10'000'000u);
}

TEST(MachClockDeathTest, TicksThatDoNotFitAreAProgrammingError) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(MachClock::ticks(-1), "does not fit");
    EXPECT_DEATH(MachClock::ticks(-1e-9), "does not fit");
    EXPECT_DEATH(MachClock::ticks(18446744073.709551616), "does not fit");
    EXPECT_DEATH(MachClock::ticks(std::numeric_limits<double>::infinity()), "does not fit");
    EXPECT_DEATH(MachClock::ticks(std::numeric_limits<double>::quiet_NaN()), "does not fit");
}

TEST(MachClock, ClocksMoveForwardAndTheContinuousOneIsNeverBehind) {
    const std::uint64_t monotonic = MachClock::now();
    const std::uint64_t continuous = MachClock::continuousNow();
    // Boot time includes suspended time on top of the monotonic clock.
    EXPECT_GE(continuous, monotonic);
    EXPECT_GE(MachClock::now(), monotonic);
    // The real-time clock is in Unix nanoseconds: after 2020.
    EXPECT_GT(MachClock::realtimeNow(), 1'577'836'800ull * 1'000'000'000ull);
}

}  // namespace
}  // namespace nerivane
