#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <vector>

#include "NerivaneKit/text/MenuBarText.h"

namespace nerivane {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();

TEST(MenuBarText, ValueInMillisecondsOrSecondsHalvesRoundedUpAndADashForNothingUsable) {
    const std::pair<std::optional<double>, const char*> cases[] = {
        {0.0, "0.0ms"}, {9.94, "9.9ms"}, {9.95, "10ms"}, {42.5, "43ms"}, {43.49, "43ms"}, {999.4, "999ms"},
        {999.5, "1.0s"}, {9940, "9.9s"}, {9950, "10s"}, {1e12, "1000000000s"},
        {std::nullopt, "\u2014"}, {-1, "\u2014"}, {nan, "\u2014"}, {inf, "\u2014"}};
    for (const auto& [ms, shown] : cases) EXPECT_EQ(MenuBarText::value(ms), shown) << ms.value_or(-2);
    for (double v = 0; v < 999.5; v += 0.05) EXPECT_LE(MenuBarText::value(v).size(), MenuBarText::widest.size()) << v;
}

TEST(MenuBarText, TraceLevelsScaledByTheLargestOrTheFloorInThirtySecondsWithGapsForUnusableValues) {
    using L = std::vector<double>;
    const struct {
        std::vector<std::optional<double>> values;
        double floor;
        L levels;
    } cases[] = {
        {{5.0, std::nullopt, 20.0}, 10, {0.25, 0, 1}},
        {{1.0, 2.0}, 10, {0.09375, 0.1875}},  // the floor sets the scale
        {{10.0, 30.0}, 2, {11.0 / 32, 1}},     // 1/3 rounds to the nearer step
        {{1.0, 64.0}, 2, {1.0 / 32, 1}},       // half a step rounds up
        {{0.0, std::nullopt}, -5, {0, 0}},
        {{nan, 5.0, inf, -3.0, 10.0}, 2, {0, 0.5, 0, 0, 1}},
    };
    for (const auto& c : cases) EXPECT_EQ(MenuBarText::traceLevels(c.values, c.floor), c.levels) << "case " << (&c - cases);
}

}  // namespace
}  // namespace nerivane
