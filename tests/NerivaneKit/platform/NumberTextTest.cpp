#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "NerivaneKit/platform/NumberText.h"

namespace nerivane {
namespace {

TEST(NumberText, EachQuantityAtItsRoundingBoundaries) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::pair<std::string, std::string> cases[] = {
        {NumberText::milliseconds(999.5), "1.0 s"},  // the boundaries: MenuBarTextTest
        {NumberText::duration(0.2), "1 s"}, {NumberText::duration(-3), "1 s"}, {NumberText::duration(nan), "1 s"},
        {NumberText::duration(42.49), "42 s"}, {NumberText::duration(59.5), "1 min"}, {NumberText::duration(180), "3 min"},
        {NumberText::duration(3725.9), "1 h 2 min"},
        // The zero minutes hold the second place: seconds beyond it are cut off.
        {NumberText::duration(3606), "1 h"}, {NumberText::duration(90061), "25 h 1 min"},
        {NumberText::bitRate(-5), "0 kbit/s"}, {NumberText::bitRate(849'600), "850 kbit/s"},
        {NumberText::bitRate(999'600), "1.0 Mbit/s"}, {NumberText::bitRate(12.4e6), "12 Mbit/s"},
        {NumberText::bitRate(1.46e9), "1.5 Gbit/s"},
        {NumberText::bytes(512), "512 B"}, {NumberText::bytes(12'345), "12 kB"}, {NumberText::bytes(199'757'970), "200 MB"},
        {NumberText::bytes(3.4e9), "3.4 GB"},
        {NumberText::percent(0), "0 %"}, {NumberText::percent(0.04), "0.0 %"}, {NumberText::percent(9.95), "10 %"},
        {NumberText::percent(nan), "\u2014"},
    };
    for (const auto& [shown, expected] : cases) EXPECT_EQ(shown, expected);
    // Microseconds for the machines, and no negative zero.
    EXPECT_EQ(NumberText::rounded(3.0029036499999986, 3), 3.003);
    EXPECT_DOUBLE_EQ(NumberText::rounded(1796000000.1234567, 6), 1796000000.123457);
    EXPECT_FALSE(std::signbit(NumberText::rounded(-0.0000001, 3)));
}

}  // namespace
}  // namespace nerivane
