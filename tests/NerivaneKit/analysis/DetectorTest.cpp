#include <gtest/gtest.h>

#include <vector>

#include "NerivaneKit/analysis/OutageDetector.h"
#include "NerivaneKit/analysis/SpikeDetector.h"
#include "NerivaneKit/analysis/TargetStats.h"

namespace nerivane {
namespace {

using Outage = OutageDetector::Outage;
using Spike = SpikeDetector::Spike;
constexpr auto icmp = TargetStatus::icmp;
MonitorTime at(double seconds) { return MonitorTime{Seconds{seconds}}; }

TEST(OutageDetector, ThreeLossesFiveSecondsOldMakeAnOutageDatedFromTheFirstUntilAReply) {
    OutageDetector detector;
    for (int i = 0; i < 3; ++i) detector.lost(at(i));
    detector.tick(at(4.9), icmp);
    detector.tick(at(5), TargetStatus::warmingUp);  // not settled: losses say nothing yet
    EXPECT_FALSE(detector.inOutage());
    detector.tick(at(5), TargetStatus::tcp);
    detector.lost(at(6));
    detector.tick(at(20), icmp);
    EXPECT_EQ(detector.since, at(0));
    // The answered probe's send time ends it; the next run counts afresh.
    EXPECT_EQ(detector.reply(at(30)), (Outage{at(0), at(30)}));
    detector.lost(at(31));
    detector.lost(at(32));
    detector.tick(at(1000), icmp);
    EXPECT_FALSE(detector.inOutage()) << "two losses are no outage";
    EXPECT_EQ(detector.reply(at(33)), std::nullopt);
    for (int i = 34; i < 37; ++i) detector.lost(at(i));
    detector.tick(at(38.9), icmp);  // 4.9 s after the first loss of the new run
    EXPECT_FALSE(detector.inOutage());
}

TEST(OutageDetector, ALossKnownAfterTheReplyToALaterProbeStartsNoRun) {
    // Probe 10 is lost, probe 11 answered at once; the loss of 10 is known
    // only at its time-out, after that reply. The silence from probe 12 on
    // is dated from 12, and its outage not started before 12 + 5.
    OutageDetector late;
    EXPECT_EQ(late.reply(at(11)), std::nullopt);
    late.lost(at(10));
    EXPECT_EQ(late.lostInRow, 0);
    for (int sent = 12; sent <= 15; ++sent) late.lost(at(sent));
    late.tick(at(16.9), icmp);
    EXPECT_FALSE(late.inOutage());
    late.tick(at(17), icmp);
    EXPECT_EQ(late.reply(at(20)), (Outage{at(12), at(20)}));
}

TEST(OutageDetector, CloseEndsAnOpenOutageNowAndLeavesARunAlone) {
    OutageDetector open;
    for (int i = 0; i < 3; ++i) open.lost(at(10 + i));
    EXPECT_EQ(open.close(at(14)), std::nullopt);
    EXPECT_EQ(open.lostInRow, 3);
    open.tick(at(15), icmp);
    EXPECT_EQ(open.close(at(42)), (Outage{at(10), at(42)}));
    EXPECT_EQ(open, OutageDetector{});
}

TEST(SpikeDetector, RunsOfThreeRepliesAboveTheLevelEndedByANormalOne) {
    // Replies one a second, fed as the monitor core does: the detector sees
    // the window before the reply is recorded.
    std::vector<double> longRun{5, 5, 5, 5, 5};
    for (int i = 5; i < 15; ++i) longRun.push_back(300 + i);  // the run does not raise its own threshold
    longRun.push_back(5);
    const struct {
        std::vector<double> rtts;
        std::vector<Spike> spikes;
        std::size_t openRun;
    } cases[] = {
        {{5, 5, 5, 5, 5, 40, 45, 50}, {}, 3},
        {{5, 5, 5, 5, 5, 40, 45, 50, 6}, {{at(5), at(8), 50}}, 0},
        {{5, 5, 5, 5, 5, 26, 26, 26, 5}, {{at(5), at(8), 26}}, 0},  // 20 above a 5 ms median
        {{40, 40, 40, 40, 40, 121, 121, 121, 40}, {{at(5), at(8), 121}}, 0},  // three times a 40 ms one
        {{40, 40, 40, 40, 40, 120, 120, 120, 40}, {}, 0},  // exactly at the threshold is normal
        {{5, 5, 5, 5, 5, 25, 25, 25, 5}, {}, 0},
        {{5, 5, 5, 5, 5, 100, 100, 5}, {}, 0},  // a run of two is ignored
        {{5, 5, 5, 5, 500}, {}, 0},             // four replies give no level
        {longRun, {{at(5), at(15), 314}}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.rtts));
        TargetStats stats;
        SpikeDetector detector;
        std::vector<Spike> spikes;
        for (std::size_t t = 0; t < c.rtts.size(); ++t) {
            if (auto spike = detector.observe(stats.rtts(), c.rtts[t], at(double(t)))) spikes.push_back(*spike);
            stats.record(c.rtts[t], at(double(t)));
        }
        EXPECT_EQ(spikes, c.spikes);
        EXPECT_EQ(detector.run.size(), c.openRun);
    }
}

}  // namespace
}  // namespace nerivane
