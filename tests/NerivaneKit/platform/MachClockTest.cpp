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
    } cases[] = {{5'000'001, 5'000'000, 0.0}, {maximum, 0, 0.0},  // no unsigned wrap-around
                 {10, 2'500'000'010, 2'500.0}, {maximum - 1'000'000, maximum, 1.0}};
    for (const auto& c : cases) EXPECT_DOUBLE_EQ(MachClock::milliseconds(c.from, c.to), c.milliseconds) << c.from;
    EXPECT_GT(MachClock::ticks(std::nextafter(18446744073.709551616, 0.0)), maximum - 10'000'000u) << "the largest that fits";
}

TEST(MachClockDeathTest, TicksThatDoNotFitAreAProgrammingError) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (const double seconds : {-1e-9, 18446744073.709551616, std::numeric_limits<double>::infinity(),
                                 std::numeric_limits<double>::quiet_NaN()})
        EXPECT_DEATH(MachClock::ticks(seconds), "does not fit") << seconds;
}

}  // namespace
}  // namespace nerivane
