#include <gtest/gtest.h>

#include <vector>

#include "NerivaneKit/analysis/NetworkEvent.h"
#include "NerivaneKit/analysis/OutageDetector.h"
#include "NerivaneKit/analysis/SpikeDetector.h"
#include "NerivaneKit/analysis/TargetStats.h"

namespace nerivane {
namespace {

using Outage = OutageDetector::Outage;
using Spike = SpikeDetector::Spike;

TEST(OutageDetector, StartsAfterThreeLossesAndFiveSecondsDatedFromTheFirstLoss) {
    OutageDetector detector;
    detector.lost(0);
    detector.lost(1);
    detector.lost(2);
    detector.tick(4.9, TargetStatus::icmp);
    EXPECT_FALSE(detector.inOutage());
    detector.tick(5.0, TargetStatus::icmp);
    ASSERT_TRUE(detector.inOutage());
    EXPECT_EQ(detector.since, 0);

    // Further losses and ticks leave the start alone.
    detector.lost(6);
    detector.tick(20, TargetStatus::icmp);
    EXPECT_EQ(detector.since, 0);

    // The answered probe's send time ends it; the next losses count afresh.
    EXPECT_EQ(detector.reply(30), (Outage{0, 30}));
    EXPECT_FALSE(detector.inOutage());
    EXPECT_EQ(detector.firstLost, std::nullopt);
    EXPECT_EQ(detector.lostInRow, 0);
    detector.lost(31);
    EXPECT_EQ(detector.firstLost, 31);
    EXPECT_EQ(detector.lostInRow, 1);
}

TEST(OutageDetector, TwoLossesOrWarmingUpNeverStartAnOutage) {
    OutageDetector two;
    two.lost(0);
    two.lost(1);
    two.tick(1000, TargetStatus::icmp);
    EXPECT_FALSE(two.inOutage());

    OutageDetector warming;
    for (int i = 0; i < 20; ++i) warming.lost(i);
    warming.tick(100, TargetStatus::warmingUp);
    EXPECT_FALSE(warming.inOutage());
    // Once settled, the same losses do start it.
    warming.tick(100, TargetStatus::tcp);
    EXPECT_EQ(warming.since, 0);
}

TEST(OutageDetector, ReplyWithoutOutageGivesNothingAndResets) {
    OutageDetector detector;
    detector.lost(0);
    detector.lost(1);
    EXPECT_EQ(detector.reply(2), std::nullopt);
    detector.lost(3);
    detector.lost(4);
    detector.lost(5);
    detector.tick(7.9, TargetStatus::icmp);  // 4.9 s after the first loss of the new run
    EXPECT_FALSE(detector.inOutage());
}

TEST(OutageDetector, ALossReportedAfterALaterProbesReplyStartsNoRun) {
    // Probe 10 is lost, probe 11 answered at once; the loss of 10 is known
    // only at its time-out, after that reply. The silence that begins with
    // probe 12 is dated from 12, and its outage not started before 12 + 5.
    OutageDetector detector;
    EXPECT_EQ(detector.reply(11), std::nullopt);
    detector.lost(10);
    EXPECT_EQ(detector.lostInRow, 0);
    for (int sent = 12; sent <= 15; ++sent) detector.lost(sent);
    detector.tick(16.9, TargetStatus::icmp);
    EXPECT_FALSE(detector.inOutage());
    detector.tick(17, TargetStatus::icmp);
    EXPECT_EQ(detector.since, 12);
    EXPECT_EQ(detector.reply(20), (Outage{12, 20}));
}

TEST(OutageDetector, CloseEndsAnOpenOutageNow) {
    OutageDetector idle;
    idle.lost(0);
    EXPECT_EQ(idle.close(50), std::nullopt);
    EXPECT_EQ(idle.lostInRow, 1);  // closing without an outage changes nothing

    OutageDetector open;
    for (int i = 0; i < 3; ++i) open.lost(10 + i);
    open.tick(15, TargetStatus::icmp);
    EXPECT_EQ(open.close(42), (Outage{10, 42}));
    EXPECT_EQ(open, OutageDetector{});
}

// Feeds replies through the detector the way the monitor core does: the
// detector sees the window before the reply is recorded.
struct SpikeFeed {
    TargetStats stats;
    SpikeDetector detector;
    std::vector<Spike> spikes;

    void reply(double rtt, double time) {
        if (auto spike = detector.observe(stats.rtts(), rtt, time)) spikes.push_back(*spike);
        stats.record(rtt, time);
    }
};

TEST(SpikeDetector, ThreeSlowRepliesEndedByANormalOneMakeASpike) {
    SpikeFeed feed;
    for (int i = 0; i < 5; ++i) feed.reply(5, i);
    feed.reply(40, 5);
    feed.reply(45, 6);
    feed.reply(50, 7);
    EXPECT_EQ(feed.detector.run.size(), 3u);
    EXPECT_TRUE(feed.spikes.empty());
    feed.reply(6, 8);
    ASSERT_EQ(feed.spikes.size(), 1u);
    EXPECT_EQ(feed.spikes[0], (Spike{5, 8, 50}));
    EXPECT_TRUE(feed.detector.run.empty());
}

TEST(SpikeDetector, ThresholdIsTheLargerOfThreeTimesAndTwentyAboveTheMedian) {
    const std::vector<double> fast{5, 5, 5, 5, 5};
    EXPECT_EQ(SpikeDetector::threshold(fast, 0), 25);
    const std::vector<double> slow{40, 40, 40, 40, 40};
    EXPECT_EQ(SpikeDetector::threshold(slow, 0), 120);
    // The run at the end of the window is not part of the level.
    const std::vector<double> withRun{5, 5, 5, 5, 5, 300, 300, 300};
    EXPECT_EQ(SpikeDetector::threshold(withRun, 3), 25);
    EXPECT_EQ(SpikeDetector::threshold(withRun, 4), std::nullopt);

    SpikeDetector detector;
    EXPECT_EQ(detector.observe(slow, 120, 10), std::nullopt);
    EXPECT_TRUE(detector.run.empty());  // exactly at the threshold is normal
    detector.observe(slow, 120.5, 11);
    EXPECT_EQ(detector.run.size(), 1u);
}

TEST(SpikeDetector, ShortRunsAndThinWindowsGiveNothing) {
    SpikeFeed feed;
    for (int i = 0; i < 5; ++i) feed.reply(5, i);
    feed.reply(100, 5);
    feed.reply(100, 6);
    feed.reply(5, 7);
    EXPECT_TRUE(feed.spikes.empty());
    EXPECT_TRUE(feed.detector.run.empty());

    // Four baseline replies: no level, so nothing is slow.
    SpikeFeed thin;
    for (int i = 0; i < 4; ++i) thin.reply(5, i);
    thin.reply(500, 4);
    EXPECT_TRUE(thin.detector.run.empty());

    // A run longer than the remaining baseline: every reply ends it.
    SpikeDetector detector;
    detector.run = {{1, 100}, {2, 100}, {3, 100}};
    const std::vector<double> window{5, 5, 5, 5, 100, 100, 100};
    EXPECT_EQ(detector.observe(window, 200, 4), (Spike{1, 4, 100}));
}

TEST(SpikeDetector, TheRunDoesNotRaiseItsOwnThreshold) {
    SpikeFeed feed;
    for (int i = 0; i < 5; ++i) feed.reply(5, i);
    // A long run of slow replies keeps being compared with the fast level.
    for (int i = 5; i < 15; ++i) feed.reply(300 + i, i);
    EXPECT_EQ(feed.detector.run.size(), 10u);
    feed.reply(5, 15);
    ASSERT_EQ(feed.spikes.size(), 1u);
    EXPECT_EQ(feed.spikes[0], (Spike{5, 15, 314}));
}

TEST(NetworkEvent, LogLineAndKindTexts) {
    NetworkEvent outage{NetworkEvent::Kind::outage, TargetRole::internet(0), "one.one.one.one",
                        *ProbeAddress::parse("1.1.1.1"), 100, 112.34, std::nullopt};
    EXPECT_DOUBLE_EQ(outage.duration(), 12.34);
    EXPECT_EQ(outage.logLine(), "outage one.one.one.one 1.1.1.1 12.3 s");

    NetworkEvent spike{NetworkEvent::Kind::spike, TargetRole::router(), "router",
                       *ProbeAddress::parse("192.168.1.1"), 10, 14, 50.04};
    EXPECT_EQ(spike.logLine(), "spike router 192.168.1.1 4.0 s, worst 50.0 ms");

    EXPECT_EQ(parseNetworkEventKind("outage"), NetworkEvent::Kind::outage);
    EXPECT_EQ(parseNetworkEventKind(text(NetworkEvent::Kind::spike)), NetworkEvent::Kind::spike);
    EXPECT_EQ(parseNetworkEventKind("Spike"), std::nullopt);
}

}  // namespace
}  // namespace nerivane
