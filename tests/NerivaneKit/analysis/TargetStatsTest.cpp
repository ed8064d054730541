#include <gtest/gtest.h>

#include <vector>

#include "support/Printers.h"
#include "NerivaneKit/statistics/Statistics.h"
#include "NerivaneKit/analysis/TargetState.h"
#include "NerivaneKit/analysis/TargetStats.h"

#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace nerivane {
namespace {

using Sample = TargetStats::Sample;
using S = TargetState;
MonitorTime at(double seconds) { return MonitorTime{Seconds{seconds}}; }

TEST(Statistics, NearestRankPercentileAndJitterNeverAcrossALoss) {
    std::vector<double> twenty;
    for (int i = 1; i <= 20; ++i) twenty.push_back(i);
    const struct {
        std::vector<double> values;
        double fraction;
        std::optional<double> expected;
    } ranks[] = {
        {{}, 0.5, std::nullopt}, {{7}, 0.0, 7},  // the rank is at least 1
        {twenty, 0.5, 10}, {twenty, 0.95, 19}, {twenty, 0.96, 20}, {twenty, 1.0, 20},
        {{1, 2, 3, 4}, 0.51, 3}, {{1, 2, 3}, 1.5, 3}, {{1, 2, 3}, -1, 1}};  // fractions outside [0, 1] stay inside
    for (const auto& [values, fraction, expected] : ranks)
        EXPECT_EQ(Statistics::percentile(values, fraction), expected) << fraction << " of " << values.size();

    const std::pair<std::vector<Sample>, std::optional<double>> jitters[] = {
        {{{0, 10}}, std::nullopt},
        {{{0, 10}, {1, std::nullopt}, {2, 30}}, std::nullopt},
        {{{0, 10}, {1, std::nullopt}, {2, 30}, {3, 50}}, 20},  // only 30 -> 50 counts
        {{{0, 10}, {1, 20}, {2, 5}}, 12.5}};                   // absolute differences
    for (const auto& [samples, expected] : jitters) EXPECT_EQ(Statistics::jitter(samples), expected) << samples.size();
}

TEST(TargetStats, WindowKeepsSixtySecondsButNeverFewerThanTwentyAndLateTimesFollowIt) {
    TargetStats stats;
    stats.recordLate(at(-50));  // kept while there is no sample
    stats.recordLate(at(5));
    stats.record(3, at(0));
    EXPECT_EQ(stats.lateTimes, (std::vector{at(5)}));
    for (int i = 1; i < 60; ++i) stats.record(10, at(i));
    EXPECT_EQ(stats.samples.size(), 60u);
    stats.record(std::nullopt, at(60));  // the span reaches 60 s: the oldest goes
    EXPECT_EQ(stats.samples.front().time, 1);
    for (int i = 61; i <= 64; ++i) stats.record(10, at(i));
    EXPECT_EQ(stats.lateTimes, (std::vector{at(5)})) << "as old as the oldest sample: kept";
    stats.record(10, at(65));
    stats.record(std::nullopt, at(66));
    EXPECT_TRUE(stats.lateTimes.empty());
    // The lowest reply ever stays the baseline; losses change neither it nor latest.
    EXPECT_EQ(stats.metrics().baseline, 3);
    EXPECT_EQ(stats.latest, (Sample{65, 10}));
    // A long gap empties the window down to the 20 newest, never below.
    stats.record(10, at(500));
    EXPECT_EQ(stats.samples.size(), 20u);
    EXPECT_EQ(stats.samples.front().time, 48);
}

Metrics window(int lost, std::optional<double> jitter, std::optional<double> p95) {
    return Metrics{.p95 = p95, .jitter = jitter, .sent = 20, .lost = lost};
}

TEST(TargetState, EvaluateWithStrictThresholdsPerRole) {
    const auto router = TargetRole::router(), host = TargetRole::internet(1), custom = TargetRole::custom(0);
    const auto none = std::nullopt;
    const auto loss = Problems::loss(), jitter = Problems::jitter(), latency = Problems::latency();
    const auto icmp = TargetStatus::icmp, tcp = TargetStatus::tcp;
    const struct {
        TargetRole role;
        TargetStatus status;
        bool inOutage;
        Metrics metrics;
        S expected;
    } cases[] = {
        {host, icmp, false, window(1, 1, 20), S::ok()},  // loss counts from two lost probes
        {host, icmp, false, window(2, 1, 20), S::bad(loss)},
        {router, icmp, false, window(0, 10, 30), S::ok()},  // only strictly above the role's limits
        {router, icmp, false, window(0, 10.1, 30), S::bad(jitter)},
        {router, icmp, false, window(0, 10, 30.1), S::bad(latency)},
        {host, icmp, false, window(0, 30, 150), S::ok()},
        {host, icmp, false, window(0, 30.1, 151), S::bad(jitter | latency)},
        {custom, tcp, false, window(0, 20, 100), S::ok()},  // not held to the router's limits
        {router, icmp, false, window(0, none, none), S::ok()},  // absent figures are no problem
        // Warming up beats an outage, which beats an empty window.
        {host, TargetStatus::warmingUp, true, window(10, none, none), S::measuring()},
        {host, tcp, true, Metrics{}, S::down()},
        {host, icmp, false, Metrics{}, S::measuring()},
    };
    for (const auto& c : cases)
        EXPECT_EQ(S::evaluate(c.status, c.inOutage, c.metrics, Thresholds::forRole(c.role)), c.expected)
            << "case " << (&c - cases);
}

TEST(TargetState, CombineNeedsOnlyOneGoodHost) {
    const auto loss = Problems::loss(), latency = Problems::latency();
    const std::pair<std::vector<S>, std::optional<S>> cases[] = {
        {{}, std::nullopt},
        {{S::bad(Problems::jitter()), S::ok()}, S::ok()},
        {{S::down(), S::measuring(), S::ok()}, S::ok()},
        {{S::down(), S::down()}, S::down()},
        {{S::down(), S::measuring()}, S::measuring()},
        {{S::bad(loss), S::measuring()}, S::measuring()},
        {{S::bad(loss), S::bad(latency), S::down()}, S::bad(loss | latency)},
    };
    for (const auto& [states, expected] : cases) EXPECT_EQ(S::combine(states), expected) << testing::PrintToString(states);
}

}  // namespace
}  // namespace nerivane
