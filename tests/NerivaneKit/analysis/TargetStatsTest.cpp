#include <gtest/gtest.h>

#include <vector>

#include "support/Printers.h"
#include "NerivaneKit/analysis/Statistics.h"
#include "NerivaneKit/analysis/TargetState.h"
#include "NerivaneKit/analysis/TargetStats.h"

namespace nerivane {
namespace {

using Sample = TargetStats::Sample;

TEST(Statistics, NearestRankPercentileAndJitterNeverAcrossALoss) {
    std::vector<double> twenty;
    for (int i = 1; i <= 20; ++i) twenty.push_back(i);
    struct Rank {
        std::vector<double> values;
        double fraction;
        std::optional<double> expected;
    };
    for (const auto& [values, fraction, expected] : std::vector<Rank>{
             {{}, 0.5, std::nullopt}, {{7}, 0.5, 7}, {{7}, 0.95, 7}, {{7}, 0.0, 7},  // rank is at least 1
             {twenty, 0.5, 10},                                                        // lower middle value
             {twenty, 0.95, 19}, {twenty, 0.96, 20}, {twenty, 1.0, 20}, {twenty, 0.0, 1},
             {{1, 2, 3, 4}, 0.5, 2}, {{1, 2, 3, 4}, 0.51, 3},
             {{1, 2, 3}, 1.5, 3}, {{1, 2, 3}, -1, 1}})  // fractions outside [0, 1] stay inside the array
        EXPECT_EQ(Statistics::percentile(values, fraction), expected) << fraction << " of " << values.size();

    struct Jitter {
        std::vector<Sample> samples;
        std::optional<double> expected;
    };
    for (const auto& [samples, expected] : std::vector<Jitter>{
             {{}, std::nullopt},
             {{{0, 10}}, std::nullopt},
             {{{0, 10}, {1, std::nullopt}, {2, 30}}, std::nullopt},
             {{{0, 10}, {1, std::nullopt}, {2, 30}, {3, 50}}, 20},  // only 30 -> 50 counts
             {{{0, 10}, {1, 20}, {2, 5}}, 12.5}})                   // absolute differences
        EXPECT_EQ(Statistics::jitter(samples), expected) << samples.size() << " samples";
}

TEST(TargetStats, WindowKeepsSixtySecondsButNeverFewerThanTwenty) {
    TargetStats stats;
    // Up to t = 59 the span stays under 60 s.
    for (int i = 0; i < 60; ++i) stats.record(10, i);
    EXPECT_EQ(stats.samples.size(), 60u);
    EXPECT_EQ(stats.samples.front().time, 0);

    // At t = 60 the span reaches 60 s: the oldest sample goes.
    stats.record(10, 60);
    EXPECT_EQ(stats.samples.size(), 60u);
    EXPECT_EQ(stats.samples.front().time, 1);

    // A long gap empties the window down to the 20 newest, never below.
    stats.record(10, 500);
    EXPECT_EQ(stats.samples.size(), 20u);
    EXPECT_EQ(stats.samples.front().time, 42);
    EXPECT_EQ(stats.samples.back().time, 500);
}

TEST(TargetStats, OutOfOrderResultsAreInsertedBySendTime) {
    TargetStats stats;
    stats.record(10, 1);
    stats.record(30, 3);
    stats.record(20, 2);            // answered after the later probe
    stats.record(std::nullopt, 3);  // equal time goes after the earlier arrival
    stats.record(std::nullopt, 0.5);
    EXPECT_EQ(stats.samples, (std::vector<Sample>{{0.5, std::nullopt}, {1, 10}, {2, 20}, {3, 30}, {3, std::nullopt}}));
    EXPECT_EQ(stats.rtts(), (std::vector<double>{10, 20, 30}));

    // latest keeps the reply with the newest send time; one sent at the same time replaces it.
    EXPECT_EQ(stats.latest, (Sample{3, 30}));
    EXPECT_EQ(stats.metrics().latest, 30);
    stats.record(25, 3);
    EXPECT_EQ(stats.latest, (Sample{3, 25}));
}

TEST(TargetStats, BaselineIsTheLowestReplyEverEvenAfterItLeavesTheWindow) {
    TargetStats stats;
    stats.record(std::nullopt, 0);
    EXPECT_EQ(stats.baseline, std::nullopt);
    EXPECT_EQ(stats.latest, std::nullopt);
    stats.record(3, 1);
    for (int i = 2; i < 100; ++i) stats.record(10, i);
    EXPECT_NE(stats.samples.front().time, 1);
    EXPECT_EQ(stats.metrics().baseline, 3);
    stats.record(std::nullopt, 100);  // losses change neither baseline nor latest
    EXPECT_EQ(stats.baseline, 3);
    EXPECT_EQ(stats.latest, (Sample{99, 10}));
}

TEST(TargetStats, LateTimesFollowTheWindow) {
    TargetStats stats;
    // With no samples, late times are kept whatever they are.
    stats.recordLate(-50);
    stats.recordLate(5);
    EXPECT_EQ(stats.lateTimes, (std::vector<double>{-50, 5}));

    // The first sample makes -50 older than the window.
    stats.record(10, 0);
    EXPECT_EQ(stats.lateTimes, (std::vector<double>{5}));

    // A late time equal to the oldest kept sample stays.
    for (int i = 1; i <= 64; ++i) stats.record(10, i);
    EXPECT_EQ(stats.samples.front().time, 5);
    EXPECT_EQ(stats.lateTimes, (std::vector<double>{5}));
    stats.record(10, 65);
    EXPECT_TRUE(stats.lateTimes.empty());
}

TEST(TargetStats, MetricsOfAMixedWindow) {
    TargetStats stats;
    EXPECT_EQ(stats.metrics(), Metrics{});

    const std::vector<std::optional<double>> rtts{40, 10, std::nullopt, 30, 20, std::nullopt};
    for (std::size_t i = 0; i < rtts.size(); ++i) stats.record(rtts[i], static_cast<double>(i));
    stats.recordLate(2);

    const Metrics metrics = stats.metrics();
    EXPECT_EQ(metrics.latest, 20);
    EXPECT_EQ(metrics.median, 20);  // sorted 10 20 30 40: rank 2
    EXPECT_EQ(metrics.p95, 40);
    EXPECT_EQ(metrics.baseline, 10);
    EXPECT_EQ(metrics.jitter, 20);  // 40->10 and 30->20: (30 + 10) / 2
    EXPECT_EQ(metrics.sent, 6);
    EXPECT_EQ(metrics.lost, 2);
    EXPECT_EQ(metrics.late, 1);
}

using S = TargetState;

Metrics window(int lost, std::optional<double> jitter, std::optional<double> p95) {
    Metrics metrics;
    metrics.sent = 20;
    metrics.lost = lost;
    metrics.jitter = jitter;
    metrics.p95 = p95;
    return metrics;
}

TEST(TargetState, EvaluateWithStrictThresholdsPerRole) {
    const auto router = TargetRole::router(), host = TargetRole::internet(1), custom = TargetRole::custom(0);
    const auto none = std::nullopt;
    const auto loss = Problems::loss(), jitter = Problems::jitter(), latency = Problems::latency();
    struct Case {
        TargetRole role;
        TargetStatus status;
        bool inOutage;
        Metrics metrics;
        S expected;
    };
    const std::vector<Case> cases{
        // Loss counts from two lost probes.
        {host, TargetStatus::icmp, false, window(1, 1, 20), S::ok()},
        {host, TargetStatus::icmp, false, window(2, 1, 20), S::bad(loss)},
        // Jitter and latency only strictly above the role's limits.
        {router, TargetStatus::icmp, false, window(0, 10, 30), S::ok()},
        {router, TargetStatus::icmp, false, window(0, 10.1, 30), S::bad(jitter)},
        {router, TargetStatus::icmp, false, window(0, 10, 30.1), S::bad(latency)},
        {host, TargetStatus::icmp, false, window(0, 30, 150), S::ok()},
        {host, TargetStatus::icmp, false, window(0, 30.1, 5), S::bad(jitter)},
        {host, TargetStatus::icmp, false, window(0, 5, 151), S::bad(latency)},
        {custom, TargetStatus::tcp, false, window(0, 20, 100), S::ok()},  // not held to the router's limits
        {router, TargetStatus::icmp, false, window(0, none, none), S::ok()},  // absent figures are no problem
        {router, TargetStatus::icmp, false, window(3, 11, 31), S::bad(loss | jitter | latency)},
        // Warming up beats an outage, which beats an empty window.
        {host, TargetStatus::warmingUp, true, window(10, none, none), S::measuring()},
        {host, TargetStatus::tcp, true, Metrics{}, S::down()},
        {host, TargetStatus::icmp, false, Metrics{}, S::measuring()},
        {host, TargetStatus::tcp, false, window(10, none, none), S::bad(loss)},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto& c = cases[i];
        EXPECT_EQ(S::evaluate(c.status, c.inOutage, c.metrics, Thresholds::forRole(c.role)), c.expected) << "case " << i;
    }
}

TEST(TargetState, CombineNeedsOnlyOneGoodHost) {
    const auto loss = Problems::loss(), latency = Problems::latency();
    // Bad states differ by their problems; the checks below rely on it.
    EXPECT_NE(S::bad(loss), S::bad(latency));
    EXPECT_NE(S::bad(Problems{}), S::ok());

    const std::vector<std::pair<std::vector<S>, std::optional<S>>> cases{
        {{}, std::nullopt},
        {{S::bad(Problems::jitter()), S::ok()}, S::ok()},
        {{S::down(), S::measuring(), S::ok()}, S::ok()},
        {{S::down(), S::down()}, S::down()},
        {{S::down()}, S::down()},
        {{S::down(), S::measuring()}, S::measuring()},
        {{S::bad(loss), S::measuring()}, S::measuring()},
        {{S::down(), S::bad(loss)}, S::bad(loss)},
        {{S::bad(loss), S::bad(latency), S::down()}, S::bad(loss | latency)},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) EXPECT_EQ(S::combine(cases[i].first), cases[i].second) << "case " << i;
}

}  // namespace
}  // namespace nerivane
