#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

#include "NerivaneKit/platform/MachClock.h"

namespace nerivane {
namespace {

constexpr std::int64_t maximum = std::numeric_limits<std::int64_t>::max();

Ticks tick(std::int64_t nanoseconds) { return Ticks{std::chrono::nanoseconds(nanoseconds)}; }

TEST(MachClock, MillisecondsBetweenTicksAreZeroUnlessTheSecondIsLater) {
    const struct {
        std::int64_t from, to;
        double milliseconds;
    } cases[] = {{5'000'001, 5'000'000, 0.0}, {maximum, 0, 0.0},  // no wrap-around
                 {10, 2'500'000'010, 2'500.0}, {maximum - 1'000'000, maximum, 1.0}};
    for (const auto& c : cases) EXPECT_DOUBLE_EQ(MachClock::milliseconds(tick(c.from), tick(c.to)).count(), c.milliseconds) << c.from;
    EXPECT_GT(MachClock::ticks(Seconds{std::nextafter(9223372036.854775808, 0.0)}).count(), maximum - 10'000'000) << "the largest that fits";
}

TEST(MachClockDeathTest, TicksThatDoNotFitAreAProgrammingError) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (const double seconds : {-1e-9, 9223372036.854775808, std::numeric_limits<double>::infinity(),
                                 std::numeric_limits<double>::quiet_NaN()})
        EXPECT_DEATH(MachClock::ticks(Seconds{seconds}), "does not fit") << seconds;
}

}  // namespace
}  // namespace nerivane
