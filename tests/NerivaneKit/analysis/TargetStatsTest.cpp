#include <gtest/gtest.h>

#include <vector>

#include "NerivaneKit/analysis/Statistics.h"
#include "NerivaneKit/analysis/TargetStats.h"

namespace nerivane {
namespace {

using Sample = TargetStats::Sample;

std::vector<double> times(const TargetStats& stats) {
    std::vector<double> result;
    for (const auto& sample : stats.samples) result.push_back(sample.time);
    return result;
}

TEST(Percentile, NearestRankWithoutInterpolation) {
    EXPECT_EQ(Statistics::percentile({}, 0.5), std::nullopt);

    const std::vector<double> one{7};
    EXPECT_EQ(Statistics::percentile(one, 0.5), 7);
    EXPECT_EQ(Statistics::percentile(one, 0.95), 7);
    EXPECT_EQ(Statistics::percentile(one, 0.0), 7);  // rank is at least 1

    std::vector<double> twenty;
    for (int i = 1; i <= 20; ++i) twenty.push_back(i);
    EXPECT_EQ(Statistics::percentile(twenty, 0.5), 10);   // lower middle value
    EXPECT_EQ(Statistics::percentile(twenty, 0.95), 19);  // ceil(19.0) = 19
    EXPECT_EQ(Statistics::percentile(twenty, 0.96), 20);  // ceil(19.2) = 20
    EXPECT_EQ(Statistics::percentile(twenty, 1.0), 20);
    EXPECT_EQ(Statistics::percentile(twenty, 0.0), 1);

    const std::vector<double> four{1, 2, 3, 4};
    EXPECT_EQ(Statistics::percentile(four, 0.5), 2);
    EXPECT_EQ(Statistics::percentile(four, 0.51), 3);
}

TEST(Percentile, FractionsOutsideTheUnitRangeStayInsideTheArray) {
    const std::vector<double> values{1, 2, 3};
    EXPECT_EQ(Statistics::percentile(values, 1.5), 3);
    EXPECT_EQ(Statistics::percentile(values, -1), 1);
}

TEST(Jitter, MeanOfAdjacentReplyDifferencesNeverAcrossALoss) {
    EXPECT_EQ(Statistics::jitter(std::vector<Sample>{}), std::nullopt);
    EXPECT_EQ(Statistics::jitter(std::vector<Sample>{{0, 10}}), std::nullopt);
    EXPECT_EQ(Statistics::jitter(std::vector<Sample>{{0, 10}, {1, std::nullopt}, {2, 30}}), std::nullopt);

    // 10, lost, 30, 50: only 30 -> 50 counts.
    EXPECT_EQ(Statistics::jitter(std::vector<Sample>{{0, 10}, {1, std::nullopt}, {2, 30}, {3, 50}}), 20);
    // Differences are absolute: |20-10| + |5-20| over 2 pairs.
    EXPECT_EQ(Statistics::jitter(std::vector<Sample>{{0, 10}, {1, 20}, {2, 5}}), 12.5);
}

TEST(TargetStats, WindowKeepsSixtySecondsButNeverFewerThanTwenty) {
    TargetStats stats;
    // 25 samples one second apart: span 24 s, nothing goes.
    for (int i = 0; i < 25; ++i) stats.record(10, i);
    EXPECT_EQ(stats.samples.size(), 25u);

    // Up to t = 59 the span stays under 60 s.
    for (int i = 25; i < 60; ++i) stats.record(10, i);
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

TEST(TargetStats, TwentyOrFewerSamplesStayHoweverOld) {
    TargetStats stats;
    for (int i = 0; i < 19; ++i) stats.record(10, i * 100.0);
    stats.record(std::nullopt, 10'000);
    EXPECT_EQ(stats.samples.size(), 20u);
    stats.record(10, 20'000);
    EXPECT_EQ(stats.samples.size(), 20u);
    EXPECT_EQ(stats.samples.front().time, 100);
}

TEST(TargetStats, OutOfOrderResultsAreInsertedBySendTime) {
    TargetStats stats;
    stats.record(10, 1);
    stats.record(30, 3);
    stats.record(20, 2);                 // answered after the later probe
    stats.record(std::nullopt, 3);       // equal time goes after the earlier arrival
    stats.record(std::nullopt, 0.5);
    EXPECT_EQ(times(stats), (std::vector<double>{0.5, 1, 2, 3, 3}));
    EXPECT_EQ(stats.samples[3].rtt, 30);
    EXPECT_EQ(stats.samples[4].rtt, std::nullopt);
    EXPECT_EQ(stats.rtts(), (std::vector<double>{10, 20, 30}));

    // latest keeps the reply with the newest send time.
    EXPECT_EQ(stats.latest, (Sample{3, 30}));
    EXPECT_EQ(stats.metrics().latest, 30);

    // A reply sent at the same time as latest replaces it.
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
    EXPECT_EQ(stats.metrics().late, 1);

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

}  // namespace
}  // namespace nerivane
