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
    for (int i = 0; i < 3; ++i) detector.lost(i);
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
    detector.lost(31);
    EXPECT_EQ(detector.firstLost, 31);
    EXPECT_EQ(detector.lostInRow, 1);
}

TEST(OutageDetector, ShortRunsWarmUpAndLossesOlderThanAReplyStartNothing) {
    OutageDetector two;
    two.lost(0);
    two.lost(1);
    two.tick(1000, TargetStatus::icmp);
    EXPECT_FALSE(two.inOutage());
    // A reply without an outage gives nothing and starts the count afresh.
    EXPECT_EQ(two.reply(2), std::nullopt);
    for (int i = 3; i < 6; ++i) two.lost(i);
    two.tick(7.9, TargetStatus::icmp);  // 4.9 s after the first loss of the new run
    EXPECT_FALSE(two.inOutage());

    OutageDetector warming;
    for (int i = 0; i < 20; ++i) warming.lost(i);
    warming.tick(100, TargetStatus::warmingUp);
    EXPECT_FALSE(warming.inOutage());
    warming.tick(100, TargetStatus::tcp);  // once settled, the same losses do start it
    EXPECT_EQ(warming.since, 0);

    // Probe 10 is lost, probe 11 answered at once; the loss of 10 is known
    // only at its time-out, after that reply. The silence that begins with
    // probe 12 is dated from 12, and its outage not started before 12 + 5.
    OutageDetector late;
    EXPECT_EQ(late.reply(11), std::nullopt);
    late.lost(10);
    EXPECT_EQ(late.lostInRow, 0);
    for (int sent = 12; sent <= 15; ++sent) late.lost(sent);
    late.tick(16.9, TargetStatus::icmp);
    EXPECT_FALSE(late.inOutage());
    late.tick(17, TargetStatus::icmp);
    EXPECT_EQ(late.since, 12);
    EXPECT_EQ(late.reply(20), (Outage{12, 20}));
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

TEST(SpikeDetector, RunsOfThreeSlowRepliesEndedByANormalOne) {
    // Replies one a second from t = 0, fed the way the monitor core does: the
    // detector sees the window before the reply is recorded.
    struct Case {
        std::vector<double> rtts;
        std::vector<Spike> spikes;
        std::size_t openRun;
    };
    std::vector<double> longRun{5, 5, 5, 5, 5};
    for (int i = 5; i < 15; ++i) longRun.push_back(300 + i);  // the run does not raise its own threshold
    longRun.push_back(5);
    const std::vector<Case> cases{
        {{5, 5, 5, 5, 5, 40, 45, 50}, {}, 3},
        {{5, 5, 5, 5, 5, 40, 45, 50, 6}, {{5, 8, 50}}, 0},
        {{5, 5, 5, 5, 5, 100, 100, 5}, {}, 0},  // a run of two is ignored
        {{5, 5, 5, 5, 500}, {}, 0},             // four replies give no level: nothing is slow
        {longRun, {{5, 15, 314}}, 0},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        TargetStats stats;
        SpikeDetector detector;
        std::vector<Spike> spikes;
        for (std::size_t t = 0; t < cases[i].rtts.size(); ++t) {
            const double rtt = cases[i].rtts[t];
            if (auto spike = detector.observe(stats.rtts(), rtt, static_cast<double>(t))) spikes.push_back(*spike);
            stats.record(rtt, static_cast<double>(t));
        }
        EXPECT_EQ(spikes, cases[i].spikes) << "case " << i;
        EXPECT_EQ(detector.run.size(), cases[i].openRun) << "case " << i;
    }
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

    // A run longer than the remaining baseline: every reply ends it.
    SpikeDetector longer;
    longer.run = {{1, 100}, {2, 100}, {3, 100}};
    const std::vector<double> window{5, 5, 5, 5, 100, 100, 100};
    EXPECT_EQ(longer.observe(window, 200, 4), (Spike{1, 4, 100}));
}

TEST(NetworkEvent, SpikeLogLine) {
    // The outage line is checked where the monitor logs it.
    const NetworkEvent spike{NetworkEvent::Kind::spike, TargetRole::router(), "router",
                             *ProbeAddress::parse("192.168.1.1"), 10, 14, 50.04};
    EXPECT_EQ(spike.logLine(), "spike router 192.168.1.1 4.0 s, worst 50.0 ms");
}

}  // namespace
}  // namespace nerivane
