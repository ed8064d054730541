#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include "NerivaneKit/text/MenuBarText.h"

namespace nerivane {
namespace {

constexpr const char* dash = "\u2014";

TEST(MenuBarTextValue, MillisecondsWithOneDecimalBelowTen) {
    EXPECT_EQ(MenuBarText::value(0.0), "0.0ms");
    EXPECT_EQ(MenuBarText::value(3.44), "3.4ms");
    EXPECT_EQ(MenuBarText::value(9.94), "9.9ms");
    EXPECT_EQ(MenuBarText::value(9.95), "10ms");
}

TEST(MenuBarTextValue, WholeMillisecondsRoundHalvesUp) {
    EXPECT_EQ(MenuBarText::value(42.5), "43ms");
    EXPECT_EQ(MenuBarText::value(43.49), "43ms");
    EXPECT_EQ(MenuBarText::value(999.4), "999ms");
    EXPECT_EQ(MenuBarText::value(999.5), "1.0s");
}

TEST(MenuBarTextValue, SecondsAboveASecond) {
    EXPECT_EQ(MenuBarText::value(1234), "1.2s");
    EXPECT_EQ(MenuBarText::value(9940), "9.9s");
    EXPECT_EQ(MenuBarText::value(9950), "10s");
    EXPECT_EQ(MenuBarText::value(12345), "12s");
    EXPECT_EQ(MenuBarText::value(1e12), "1000000000s");
}

TEST(MenuBarTextValue, NoUsableValueIsADash) {
    EXPECT_EQ(MenuBarText::value(std::nullopt), dash);
    EXPECT_EQ(MenuBarText::value(-1), dash);
    EXPECT_EQ(MenuBarText::value(std::numeric_limits<double>::quiet_NaN()), dash);
    EXPECT_EQ(MenuBarText::value(std::numeric_limits<double>::infinity()), dash);
}

TEST(MenuBarTextValue, NeverWiderThanTheWidestText) {
    for (double v = 0; v < 999.5; v += 0.05) EXPECT_LE(MenuBarText::value(v).size(), MenuBarText::widest.size()) << v;
    EXPECT_EQ(MenuBarText::widest, "999ms");
}

TEST(MenuBarTextMark, GlyphPerVerdictAndPause) {
    using V = Verdict;
    for (auto v : {V::internetProblem, V::localProblem, V::connectionProblem, V::internetUnmeasured})
        EXPECT_EQ(MenuBarText::mark(v, false), "!") << text(v);
    for (auto v : {V::internetDown, V::localDown, V::connectionDown, V::offline})
        EXPECT_EQ(MenuBarText::mark(v, false), "\u00d7") << text(v);
    EXPECT_EQ(MenuBarText::mark(V::measuring, false), "");
    EXPECT_EQ(MenuBarText::mark(V::good, false), "");
    for (int i = 0; i <= static_cast<int>(V::offline); ++i)
        EXPECT_EQ(MenuBarText::mark(static_cast<V>(i), true), "\u2016");
}

TEST(MenuBarTextTrace, ScaledByLargestOrFloor) {
    using L = std::vector<double>;
    EXPECT_EQ(MenuBarText::traceLevels({5.0, std::nullopt, 20.0}, 10), (L{0.25, 0, 1}));
    EXPECT_EQ(MenuBarText::traceLevels({1.0, 2.0}, 10), (L{0.09375, 0.1875}));
    EXPECT_EQ(MenuBarText::traceLevels({}, 10), L{});
    // 1/3 of the scale lies between 10/32 and 11/32 and rounds to the nearer.
    EXPECT_EQ(MenuBarText::traceLevels({10.0, 30.0}, 2), (L{11.0 / 32, 1}));
    // Half a step rounds up: 1/64 of the scale.
    EXPECT_EQ(MenuBarText::traceLevels({1.0, 64.0}, 2), (L{1.0 / 32, 1}));
}

TEST(MenuBarTextTrace, NothingToScaleGivesFlatZeroes) {
    using L = std::vector<double>;
    EXPECT_EQ(MenuBarText::traceLevels({std::nullopt, std::nullopt}, 10), (L{0, 0}));
    EXPECT_EQ(MenuBarText::traceLevels({0.0, 0.0}, 0), (L{0, 0}));
    EXPECT_EQ(MenuBarText::traceLevels({0.0, std::nullopt}, -5), (L{0, 0}));
}

TEST(MenuBarTextTrace, UnusableValuesAreGapsAndDoNotSetTheScale) {
    using L = std::vector<double>;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(MenuBarText::traceLevels({nan, 5.0, inf, -3.0, 10.0}, 2), (L{0, 0.5, 0, 0, 1}));
    for (double level : MenuBarText::traceLevels({0.1, 1e9, 3.0}, 2)) {
        EXPECT_GE(level, 0);
        EXPECT_LE(level, 1);
    }
}

}  // namespace
}  // namespace nerivane
