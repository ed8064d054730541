#include <gtest/gtest.h>

#include <vector>

#include "Printers.h"
#include "NerivaneKit/analysis/AlertTracker.h"

namespace nerivane {
namespace {

using Alerts = std::vector<AlertTracker::Alert>;
using V = Verdict;

// Wall-clock dates as seconds of the day, for readability: 12:00:00 = noon.
constexpr double at(int hours, int minutes, int seconds) { return hours * 3600.0 + minutes * 60.0 + seconds; }

TargetSnapshot host(int index, std::string name, TargetState state, std::optional<double> outageSince = std::nullopt) {
    TargetSnapshot target;
    target.target.role = TargetRole::internet(index);
    target.target.host = std::move(name);
    target.status = TargetStatus::icmp;
    target.state = state;
    target.outageSince = outageSince;
    return target;
}

MonitorSnapshot snapshot(V verdict, std::optional<TargetState> internet, std::vector<TargetSnapshot> targets = {}) {
    MonitorSnapshot result;
    result.verdict = verdict;
    result.internet = internet;
    result.targets = std::move(targets);
    return result;
}

MonitorSnapshot bothDown() {
    TargetSnapshot router;
    router.target.role = TargetRole::router();
    router.target.host = "router";
    router.outageSince = at(12, 0, 5);  // not an internet host: ignored
    // A custom host in outage later than both: not part of the internet either.
    TargetSnapshot custom = host(0, "custom", TargetState::down(), at(12, 0, 8));
    custom.target.role = TargetRole::custom(0);
    return snapshot(V::internetDown, TargetState::down(),
                    {router, host(0, "a", TargetState::down(), at(11, 59, 50)),
                     host(1, "b", TargetState::down(), at(12, 0, 0)), custom});
}

MonitorSnapshot good() {
    return snapshot(V::good, TargetState::ok(), {host(0, "a", TargetState::ok()), host(1, "b", TargetState::ok())});
}

TEST(AlertTracker, InternetDownAfterTenSecondsFromTheLastHostToFail) {
    AlertTracker tracker(true, true);
    tracker.update(good(), at(11, 0, 0));
    tracker.update(good(), at(11, 0, 30));
    EXPECT_TRUE(tracker.update(bothDown(), at(12, 0, 6)).empty());
    EXPECT_EQ(tracker.downSince, at(12, 0, 0));
    EXPECT_TRUE(tracker.update(bothDown(), at(12, 0, 9)).empty());

    const Alerts alerts = tracker.update(bothDown(), at(12, 0, 10));
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts[0], AlertTracker::Alert(AlertTracker::InternetDown{at(12, 0, 0), {"a", "b"}, V::internetDown}));
    EXPECT_TRUE(tracker.update(bothDown(), at(12, 0, 20)).empty());
    // The settled internetDown verdict is covered by the down alert.
    EXPECT_TRUE(tracker.update(bothDown(), at(12, 1, 20)).empty());
    EXPECT_EQ(tracker.lastVerdict, V::internetDown);
}

TEST(AlertTracker, BackAfterAPostedDownAlertCoversTheReturnToGood) {
    AlertTracker tracker(true, true);
    tracker.update(good(), at(11, 0, 0));
    tracker.update(good(), at(11, 0, 30));
    EXPECT_EQ(tracker.lastVerdict, V::good);

    tracker.update(bothDown(), at(12, 0, 0));
    tracker.update(bothDown(), at(12, 0, 10));
    ASSERT_TRUE(tracker.postedDown);
    EXPECT_TRUE(tracker.update(bothDown(), at(12, 1, 0)).empty());
    EXPECT_EQ(tracker.lastVerdict, V::internetDown);  // settled silently

    const Alerts back = tracker.update(good(), at(12, 3, 0));
    EXPECT_EQ(back, Alerts{AlertTracker::InternetBack{180}});
    EXPECT_EQ(tracker.downSince, std::nullopt);
    EXPECT_FALSE(tracker.postedDown);
    // The good verdict that follows is not announced again.
    EXPECT_TRUE(tracker.update(good(), at(12, 3, 30)).empty());
    EXPECT_TRUE(tracker.update(good(), at(12, 5, 0)).empty());
}

TEST(AlertTracker, ShortOutagesAndSwitchedOffOutagesGiveNoInternetAlerts) {
    AlertTracker tracker(true, true);
    tracker.update(bothDown(), at(12, 0, 0));
    tracker.update(bothDown(), at(12, 0, 8));  // down only 8 s
    EXPECT_TRUE(tracker.update(good(), at(12, 0, 9)).empty());
    EXPECT_EQ(tracker.downSince, std::nullopt);

    // With outages off the down verdict is announced by the verdict stage instead.
    AlertTracker quiet(false, true);
    quiet.update(good(), at(10, 0, 0));
    quiet.update(good(), at(10, 0, 30));
    quiet.update(bothDown(), at(12, 0, 0));
    EXPECT_TRUE(quiet.update(bothDown(), at(12, 0, 20)).empty());
    EXPECT_EQ(quiet.update(bothDown(), at(12, 0, 30)), Alerts{AlertTracker::VerdictChanged{V::internetDown}});
    EXPECT_TRUE(quiet.update(good(), at(12, 5, 0)).empty());  // no back alert without a down alert
}

TEST(AlertTracker, DownWithoutOutageStartsTakesNow) {
    AlertTracker tracker(true, false);
    const auto down = snapshot(V::connectionDown, TargetState::down(), {host(0, "a", TargetState::down())});
    tracker.update(down, 500);
    EXPECT_EQ(tracker.downSince, 500);
    EXPECT_EQ(tracker.update(down, 510), Alerts{(AlertTracker::InternetDown{500, {"a"}, V::connectionDown})});
}

TEST(AlertTracker, MeasuringInternetKeepsTheOutageTimer) {
    AlertTracker tracker(true, true);
    tracker.update(bothDown(), at(12, 0, 0));
    tracker.update(snapshot(V::measuring, TargetState::measuring()), at(12, 0, 5));
    tracker.update(snapshot(V::measuring, std::nullopt), at(12, 0, 6));
    EXPECT_EQ(tracker.downSince, at(12, 0, 0));
    EXPECT_EQ(tracker.update(bothDown(), at(12, 0, 10)).size(), 1u);
}

TEST(AlertTracker, VerdictMustHoldThirtySecondsAndTheFirstIsNeverAnnounced) {
    AlertTracker tracker(true, true);
    const auto problem = snapshot(V::internetProblem, TargetState::bad(Problems::latency()));
    EXPECT_TRUE(tracker.update(good(), at(9, 0, 0)).empty());
    EXPECT_TRUE(tracker.update(good(), at(9, 0, 30)).empty());  // first settled verdict: silent
    EXPECT_EQ(tracker.lastVerdict, V::good);

    EXPECT_TRUE(tracker.update(problem, at(10, 0, 0)).empty());
    EXPECT_TRUE(tracker.update(problem, at(10, 0, 29)).empty());
    // Measuring in between does not restart the timer.
    EXPECT_TRUE(tracker.update(snapshot(V::measuring, std::nullopt), at(10, 0, 29)).empty());
    EXPECT_EQ(tracker.update(problem, at(10, 0, 31)), Alerts{AlertTracker::VerdictChanged{V::internetProblem}});
    EXPECT_TRUE(tracker.update(problem, at(10, 5, 0)).empty());

    // A brief change that goes back before 30 s is never announced.
    tracker.update(good(), at(11, 0, 0));
    tracker.update(problem, at(11, 0, 20));
    EXPECT_TRUE(tracker.update(problem, at(11, 1, 0)).empty());
}

TEST(AlertTracker, SwitchedOffVerdictsStillSettleAndResetKeepsTheLastVerdict) {
    AlertTracker tracker(true, false);
    const auto problem = snapshot(V::localProblem, TargetState::bad(Problems::loss()));
    tracker.update(good(), 0);
    tracker.update(good(), 30);
    tracker.update(problem, 40);
    EXPECT_TRUE(tracker.update(problem, 70).empty());
    EXPECT_EQ(tracker.lastVerdict, V::localProblem);

    // Turned on later: the same verdict is not announced afterwards.
    tracker.verdictChanges = true;
    EXPECT_TRUE(tracker.update(problem, 200).empty());

    tracker.update(bothDown(), 300);
    tracker.reset();
    EXPECT_EQ(tracker.downSince, std::nullopt);
    EXPECT_EQ(tracker.candidate, std::nullopt);
    EXPECT_EQ(tracker.lastVerdict, V::localProblem);
    EXPECT_TRUE(tracker.outages);
}

}  // namespace
}  // namespace nerivane
