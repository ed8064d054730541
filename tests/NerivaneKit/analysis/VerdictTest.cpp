#include <gtest/gtest.h>

#include <vector>

#include "support/Printers.h"
#include "NerivaneKit/analysis/AlertTracker.h"
#include "NerivaneKit/analysis/ProblemSummary.h"
#include "NerivaneKit/analysis/Verdict.h"
#include "NerivaneKit/analysis/VerdictFilter.h"

namespace nerivane {
namespace {

using S = TargetState;
using V = Verdict;

TEST(Verdict, DecideFullTable) {
    const auto bad = S::bad(Problems::latency());
    const std::optional<S> none;
    struct Row {
        bool satisfied;
        std::optional<S> internet;
        std::optional<S> router;
        V expected;
    };
    const std::vector<Row> rows{
        {false, S::ok(), S::ok(), V::offline},
        {false, none, none, V::offline},
        {true, none, S::ok(), V::internetUnmeasured},
        {true, S::measuring(), S::down(), V::measuring},
        {true, S::ok(), S::down(), V::good},
        {true, S::ok(), bad, V::good},  // a poor router with healthy hosts is still good
        {true, S::ok(), none, V::good},
        {true, S::down(), none, V::connectionDown},
        {true, bad, none, V::connectionProblem},
        {true, bad, bad, V::localProblem},
        {true, S::down(), bad, V::localProblem},
        {true, bad, S::measuring(), V::measuring},
        {true, S::down(), S::measuring(), V::measuring},
        {true, bad, S::ok(), V::internetProblem},
        {true, S::down(), S::ok(), V::internetDown},
        {true, bad, S::down(), V::localProblem},
        {true, S::down(), S::down(), V::localDown},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(decideVerdict(row.satisfied, row.router, row.internet), row.expected)
            << "expected " << text(row.expected);
    }
}

// Each step: the raw verdict at a time, and the verdict the filter must show.
struct Step {
    V raw;
    double time;
    V shown;
};

void expectShown(const std::vector<Step>& steps) {
    VerdictFilter filter;
    for (const auto& step : steps)
        EXPECT_EQ(filter.apply(step.raw, step.time), step.shown) << text(step.raw) << " at " << step.time;
}

TEST(VerdictFilter, ChangesMustHoldTenSecondsInEitherDirection) {
    expectShown({
        {V::good, 0, V::good},  // first verdict after measuring: at once
        {V::internetProblem, 100, V::good},
        {V::internetProblem, 109.9, V::good},
        {V::internetProblem, 110, V::internetProblem},
        {V::good, 200, V::internetProblem},  // getting better waits just as long
        {V::good, 209.9, V::internetProblem},
        {V::good, 210, V::good},
        // Going back to the shown verdict clears the pending one.
        {V::internetProblem, 300, V::good},
        {V::good, 304, V::good},
        {V::internetProblem, 305, V::good},
        {V::internetProblem, 314.9, V::good},
        {V::internetProblem, 315, V::internetProblem},
        // A different pending verdict restarts the clock.
        {V::localProblem, 400, V::internetProblem},
        {V::localDown, 408, V::internetProblem},
        {V::localDown, 417, V::internetProblem},
        {V::localDown, 418, V::localDown},
    });

    // Two new values alternating faster than the hold never show.
    VerdictFilter filter;
    filter.apply(V::good, 0);
    for (int t = 100; t < 200; t += 5)
        EXPECT_EQ(filter.apply(t % 10 == 0 ? V::localProblem : V::connectionProblem, t), V::good);
}

TEST(VerdictFilter, MeasuringNeverReplacesAndOfflineSwitchesAtOnce) {
    expectShown({
        {V::measuring, 0, V::measuring},
        {V::internetDown, 1, V::internetDown},
        {V::good, 2, V::internetDown},
        {V::measuring, 5, V::internetDown},  // measuring clears pending...
        {V::good, 11, V::internetDown},      // ...so the hold restarts at 11
        {V::good, 20.9, V::internetDown},
        {V::good, 21, V::good},
        {V::offline, 30, V::offline},
        {V::good, 31, V::good},
        {V::offline, 32, V::offline},
        {V::localProblem, 33, V::localProblem},  // from offline: at once
    });
}

TargetSnapshot target(std::string host, TargetState state, int sent = 0, int lost = 0,
                      std::optional<double> p95 = {}, std::optional<double> jitter = {}) {
    TargetSnapshot snapshot;
    snapshot.target.host = std::move(host);
    snapshot.state = state;
    snapshot.metrics.sent = sent;
    snapshot.metrics.lost = lost;
    snapshot.metrics.p95 = p95;
    snapshot.metrics.jitter = jitter;
    return snapshot;
}

TEST(ProblemSummary, LossBeforeLatencyBeforeJitterAndMissingFiguresGiveZero) {
    using K = ProblemSummary::Kind;
    const auto loss = Problems::loss(), latency = Problems::latency(), jitter = Problems::jitter();
    const std::vector<std::pair<std::vector<TargetSnapshot>, std::optional<ProblemSummary>>> cases{
        {{}, std::nullopt},
        {{target("a", S::ok()), target("b", S::down()), target("c", S::measuring())}, std::nullopt},
        {{target("a", S::bad(jitter), 20, 0, 20, 40), target("b", S::bad(loss | latency), 20, 5, 300, 1),
          target("c", S::down(), 20, 20)},
         ProblemSummary{K::loss, 25, {"b"}}},
        {{target("a", S::bad(latency), 20, 0, 180, 1), target("b", S::bad(latency | jitter), 20, 0, 240, 50)},
         ProblemSummary{K::latency, 240, {"a", "b"}}},
        {{target("a", S::bad(jitter), 20, 0, 10, 35), target("b", S::bad(jitter), 20, 0, 10)},
         ProblemSummary{K::jitter, 35, {"a", "b"}}},
        {{target("a", S::bad(loss)), target("b", S::bad(latency), 10)}, ProblemSummary{K::loss, 0, {"a"}}},
        {{target("b", S::bad(latency), 10)}, ProblemSummary{K::latency, 0, {"b"}}},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) EXPECT_EQ(ProblemSummary::of(cases[i].first), cases[i].second) << "case " << i;
}

using Alerts = std::vector<AlertTracker::Alert>;
using Down = AlertTracker::InternetDown;
using Back = AlertTracker::InternetBack;
using Changed = AlertTracker::VerdictChanged;

// Wall-clock dates as seconds of the day, for readability: 12:00:00 = noon.
constexpr double at(int hours, int minutes, int seconds) { return hours * 3600.0 + minutes * 60.0 + seconds; }

TargetSnapshot host(TargetRole role, std::string name, TargetState state, std::optional<double> outageSince = {}) {
    return TargetSnapshot{Target{role, std::move(name), {}}, TargetStatus::icmp, state, {}, false, outageSince};
}

MonitorSnapshot snapshot(V verdict, std::optional<TargetState> internet, std::vector<TargetSnapshot> targets = {}) {
    return MonitorSnapshot{{}, std::move(targets), verdict, internet, false};
}

// The internet hosts went down at 11:59:50 and 12:00:00; the router and a
// custom host in outage later than both are not part of the internet.
MonitorSnapshot bothDown() {
    return snapshot(V::internetDown, S::down(),
                    {host(TargetRole::router(), "router", S::down(), at(12, 0, 5)),
                     host(TargetRole::internet(0), "a", S::down(), at(11, 59, 50)),
                     host(TargetRole::internet(1), "b", S::down(), at(12, 0, 0)),
                     host(TargetRole::custom(0), "custom", S::down(), at(12, 0, 8))});
}

MonitorSnapshot good() {
    return snapshot(V::good, S::ok(), {host(TargetRole::internet(0), "a", S::ok()), host(TargetRole::internet(1), "b", S::ok())});
}

const MonitorSnapshot measuring = snapshot(V::measuring, std::nullopt);

struct AlertStep {
    MonitorSnapshot snapshot;
    double now;
    Alerts alerts;
};

void play(AlertTracker& tracker, const std::vector<AlertStep>& steps) {
    for (const auto& step : steps)
        EXPECT_EQ(tracker.update(step.snapshot, step.now), step.alerts) << text(step.snapshot.verdict) << " at " << step.now;
}

TEST(AlertTracker, InternetDownTenSecondsAfterTheLastHostFailedAndBackWithItsDuration) {
    AlertTracker tracker(true, true);
    play(tracker, {{good(), at(11, 0, 0), {}},
                   {good(), at(11, 0, 30), {}},  // the first settled verdict is never announced
                   {bothDown(), at(12, 0, 6), {}},
                   {bothDown(), at(12, 0, 9), {}},
                   {bothDown(), at(12, 0, 10), {Down{at(12, 0, 0), {"a", "b"}, V::internetDown}}},
                   {bothDown(), at(12, 0, 20), {}},
                   {bothDown(), at(12, 1, 20), {}}});  // the settled verdict is covered by the down alert
    EXPECT_EQ(tracker.lastVerdict, V::internetDown);

    play(tracker, {{good(), at(12, 3, 0), {Back{180}}},
                   {good(), at(12, 3, 30), {}},  // the good verdict that follows is not announced again
                   {good(), at(12, 5, 0), {}}});
    EXPECT_EQ(tracker.downSince, std::nullopt);
    EXPECT_FALSE(tracker.postedDown);
}

TEST(AlertTracker, ShortOutagesAndSwitchedOffOutagesGiveNoInternetAlerts) {
    AlertTracker tracker(true, true);
    play(tracker, {{bothDown(), at(12, 0, 0), {}}, {bothDown(), at(12, 0, 8), {}}, {good(), at(12, 0, 9), {}}});
    EXPECT_EQ(tracker.downSince, std::nullopt);

    // With outages off the down verdict is announced by the verdict stage instead.
    AlertTracker quiet(false, true);
    play(quiet, {{good(), at(10, 0, 0), {}},
                 {good(), at(10, 0, 30), {}},
                 {bothDown(), at(12, 0, 0), {}},
                 {bothDown(), at(12, 0, 20), {}},
                 {bothDown(), at(12, 0, 30), {Changed{V::internetDown}}},
                 {good(), at(12, 5, 0), {}}});  // no back alert without a down alert
}

TEST(AlertTracker, OutageTimerStartsNowWithoutOutageStartsAndSurvivesMeasuring) {
    AlertTracker tracker(true, false);
    const auto down = snapshot(V::connectionDown, TargetState::down(), {host(TargetRole::internet(0), "a", S::down())});
    play(tracker, {{down, 500, {}}, {down, 510, {Down{500, {"a"}, V::connectionDown}}}});

    AlertTracker measured(true, true);
    play(measured, {{bothDown(), at(12, 0, 0), {}},
                    {snapshot(V::measuring, TargetState::measuring()), at(12, 0, 5), {}},
                    {measuring, at(12, 0, 6), {}},
                    {bothDown(), at(12, 0, 10), {Down{at(12, 0, 0), {"a", "b"}, V::internetDown}}}});
}

TEST(AlertTracker, VerdictMustHoldThirtySeconds) {
    AlertTracker tracker(true, true);
    const auto problem = snapshot(V::internetProblem, TargetState::bad(Problems::latency()));
    play(tracker, {{good(), at(9, 0, 0), {}},
                   {good(), at(9, 0, 30), {}},
                   {problem, at(10, 0, 0), {}},
                   {problem, at(10, 0, 29), {}},
                   {measuring, at(10, 0, 29), {}},  // measuring in between does not restart the timer
                   {problem, at(10, 0, 31), {Changed{V::internetProblem}}},
                   {problem, at(10, 5, 0), {}},
                   // A brief change that goes back before 30 s is never announced.
                   {good(), at(11, 0, 0), {}},
                   {problem, at(11, 0, 20), {}},
                   {problem, at(11, 1, 0), {}}});
}

TEST(AlertTracker, SwitchedOffVerdictsStillSettleAndResetKeepsTheLastVerdict) {
    AlertTracker tracker(true, false);
    const auto problem = snapshot(V::localProblem, TargetState::bad(Problems::loss()));
    play(tracker, {{good(), 0, {}}, {good(), 30, {}}, {problem, 40, {}}, {problem, 70, {}}});
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
