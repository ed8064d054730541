#include <gtest/gtest.h>

#include <limits>

#include "nerivane/core/ProbingInterval.h"

namespace nerivane {
namespace {

using R = SlowRateReason;

// A stored value that cannot be an interval is its default (1 s, 5 s on
// battery), a tiny one the floor. Labels round down to what is offered.
TEST(ProbingIntervalRules, StoredValuesBecomeUsableAReasonPicksTheBatteryOneAndLabelsRoundDown) {
    const double nan = std::numeric_limits<double>::quiet_NaN(), infinity = std::numeric_limits<double>::infinity();
    using Row = std::tuple<double, double, double>;
    for (const auto& [stored, usable, onBattery] : {Row{nan, 1, 5}, Row{infinity, 1, 5}, Row{-2, 1, 5}, Row{0, 1, 5}, Row{0.05, 0.1, 0.1},
                                                    Row{0.1, 0.1, 0.1}, Row{1, 1, 1}, Row{5, 5, 5}, Row{60, 60, 60}})
        EXPECT_EQ(ProbingInterval::fromStored(stored, stored), (ProbingInterval{usable, onBattery})) << stored;
    // Any reason selects the battery interval; either counts as an hour at most.
    EXPECT_EQ((std::vector<double>{ProbingInterval{1, 5}.forReason({}), ProbingInterval{1, 5}.forReason(R::expensivePath),
                                   ProbingInterval{1e10, 5}.forReason({}), ProbingInterval{1, 7200}.forReason(R::battery)}), (std::vector<double>{1, 5, 3600, 3600}));
    for (const auto& [seconds, label] : std::vector<std::pair<double, const char*>>{{0.99, "½s"}, {1, "1s"}, {2.7, "2s"}})
        EXPECT_EQ(ProbingInterval::label(seconds), QString::fromUtf8(label));
}

}  // namespace
}  // namespace nerivane
