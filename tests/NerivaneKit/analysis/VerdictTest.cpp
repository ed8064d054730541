#include <gtest/gtest.h>

#include <vector>

#include "support/Printers.h"
#include "NerivaneKit/analysis/AlertTracker.h"
#include "NerivaneKit/analysis/LoadEvidence.h"
#include "NerivaneKit/analysis/Verdict.h"
#include "NerivaneKit/analysis/VerdictFilter.h"

#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace nerivane {
namespace {

using S = TargetState;
using V = Verdict;

TEST(Verdict, DecideFullTable) {
    const auto bad = S::bad(Problems::latency());
    const std::optional<S> none;
    const struct {
        bool satisfied;
        std::optional<S> internet, router;
        V expected;
    } rows[] = {
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
    for (const auto& row : rows)
        EXPECT_EQ(decideVerdict(row.satisfied, row.router, row.internet), row.expected) << "row " << (&row - rows);
}

// A portal explains every internet verdict, pings fine or not; no network and
// a router in trouble are explained by themselves.
TEST(Verdict, SignInTakesOverAllButNoNetworkAndTheRouter) {
    for (int i = 0; i <= static_cast<int>(V::signInNeeded); ++i) {
        const auto verdict = static_cast<V>(i);
        const bool kept = verdict == V::offline || verdict == V::localProblem || verdict == V::localDown;
        EXPECT_EQ(withSignIn(verdict, true), kept ? verdict : V::signInNeeded) << text(verdict);
        EXPECT_EQ(withSignIn(verdict, false), verdict);
    }
}

// The provider's edge sharpens internet verdicts only; its own loss never
// makes one (hops rate-limit their answers to ping).
TEST(Verdict, ProviderTierSharpensOnlyInternetTrouble) {
    const auto slow = S::bad(Problems::latency()), lossy = S::bad(Problems::loss()),
               both = S::bad(Problems::latency() | Problems::loss());
    const std::optional<S> none;
    const struct {
        V raw;
        std::optional<S> provider, internet;
        V expected;
    } rows[] = {
        {V::internetDown, S::down(), S::down(), V::providerDown},
        {V::internetDown, S::ok(), S::down(), V::internetDown},  // worded "beyond your provider"
        {V::internetDown, S::measuring(), S::down(), V::internetDown},
        {V::internetDown, none, S::down(), V::internetDown},
        {V::internetProblem, slow, slow, V::providerProblem},
        {V::internetProblem, both, lossy, V::providerProblem},
        {V::internetProblem, S::ok(), slow, V::internetProblem},
        {V::internetProblem, lossy, slow, V::internetProblem},  // not the same trouble
        {V::internetProblem, S::bad(Problems::jitter()), S::bad(Problems::jitter()), V::internetProblem},
        {V::good, S::down(), S::ok(), V::good},  // a rate-limiting or silent edge alone
        {V::good, lossy, S::ok(), V::good},
        {V::localDown, S::down(), S::down(), V::localDown},  // the router explains it first
        {V::connectionDown, S::down(), S::down(), V::connectionDown},
        {V::localProblem, slow, slow, V::localProblem},
    };
    for (const auto& row : rows)
        EXPECT_EQ(withProvider(row.raw, row.provider, row.internet), row.expected) << "row " << (&row - rows);
}

// Load evidence first, then the name lookups, which speak only over a good verdict.
TEST(Verdict, LoadTakesOverOnlyProblemsThatBusyRepliesExplainAndLookupsOnlyGood) {
    using H = LookupSnapshot::Health;
    const std::optional<LoadEvidence> none;
    const LoadEvidence busy{V::good, true, true, false}, bloated{V::good, true, true, true},
        ended{V::good, true, false, false}, idleLoss{V::internetProblem, true, true, true},
        quietWindow{V::good, false, true, true};
    const auto lookups = [](H health) {
        LookupSnapshot snapshot;
        snapshot.health = health;
        return snapshot;
    };
    const struct {
        V raw;
        std::optional<LoadEvidence> load;
        H lookups;
        V expected;
    } rows[] = {
        {V::internetProblem, busy, H::ok, V::slowWhileBusy},
        {V::localProblem, busy, H::ok, V::slowWhileBusy},
        {V::connectionProblem, busy, H::slow, V::slowWhileBusy},  // before the lookups
        {V::internetProblem, ended, H::ok, V::good},               // the window's load is over
        {V::internetProblem, ended, H::slow, V::lookupsSlow},
        {V::internetProblem, idleLoss, H::ok, V::internetProblem},  // idle replies are bad too
        {V::internetProblem, quietWindow, H::ok, V::internetProblem},
        {V::internetProblem, none, H::ok, V::internetProblem},
        {V::internetDown, bloated, H::ok, V::internetDown},
        {V::localDown, bloated, H::ok, V::localDown},
        {V::connectionDown, bloated, H::failing, V::connectionDown},
        {V::offline, bloated, H::ok, V::offline},
        {V::measuring, bloated, H::ok, V::measuring},
        {V::good, bloated, H::slow, V::slowWhileBusy},
        {V::good, bloated, H::failing, V::slowWhileBusy},
        {V::good, busy, H::slow, V::lookupsSlow},  // a lean queue does not explain slow DNS
        {V::good, ended, H::failing, V::lookupsFailing},
        {V::good, bloated, H::ok, V::good},
        {V::good, none, H::failing, V::lookupsFailing},
        {V::good, none, H::slow, V::lookupsSlow},
        {V::good, none, H::ok, V::good},
    };
    for (const auto& row : rows)
        EXPECT_EQ(withLoad(row.raw, row.load, lookups(row.lookups)), row.expected) << "row " << (&row - rows);
    for (const V raw : {V::measuring, V::internetProblem, V::internetDown, V::localProblem, V::localDown,
                        V::connectionProblem, V::connectionDown, V::internetUnmeasured, V::offline})
        for (const H health : {H::failing, H::slow}) EXPECT_EQ(withLoad(raw, none, lookups(health)), raw) << text(raw);
    EXPECT_EQ(withLoad(V::good, none, std::nullopt), V::good);
}

TEST(VerdictFilter, ChangesHoldTenSecondsButOutagesAndSilenceShowAtOnce) {
    const struct {
        V raw;
        double time;
        V shown;
        bool urgent = false;
    } steps[] = {
        {V::measuring, 0, V::measuring},
        {V::good, 1, V::good},  // the first verdict after measuring: at once
        {V::internetProblem, 100, V::good},
        {V::internetProblem, 109.9, V::good},
        {V::internetProblem, 110, V::internetProblem},
        {V::good, 200, V::internetProblem},  // getting better waits just as long
        {V::good, 210, V::good},
        // Going back to the shown verdict, or measuring, clears the pending one.
        {V::internetProblem, 300, V::good},
        {V::good, 304, V::good},
        {V::internetProblem, 305, V::good},
        {V::measuring, 306, V::good},
        {V::internetProblem, 307, V::good},
        {V::internetProblem, 316.9, V::good},
        {V::internetProblem, 317, V::internetProblem},
        // A different pending verdict restarts the clock; a down verdict has
        // waited for its outage already and comes at once, and goes at once.
        {V::localProblem, 400, V::internetProblem},
        {V::localDown, 408, V::localDown},
        {V::internetProblem, 409, V::internetProblem},
        {V::offline, 430, V::offline},
        {V::good, 431, V::good},
        {V::internetDown, 440, V::internetDown},
        {V::good, 470, V::good},
        // Silence is urgent: shown at once, and gone as soon as it is.
        {V::connectionProblem, 500, V::connectionProblem, true},
        {V::connectionProblem, 501, V::connectionProblem, true},
        {V::good, 502, V::good},
        {V::internetProblem, 600, V::internetProblem, true},
        // Still a problem once the silence ends: now an ordinary one, which holds.
        {V::internetProblem, 601, V::internetProblem},
        {V::good, 602, V::internetProblem},
        {V::good, 612, V::good},
        // An urgent good verdict (its trouble gone with an ended event) too.
        {V::internetProblem, 700, V::good},
        {V::internetProblem, 710, V::internetProblem},
        {V::good, 711, V::good, true},
        // Failing lookups hold themselves (two failed rounds): they come and go at once.
        {V::lookupsFailing, 800, V::lookupsFailing},
        {V::good, 801, V::good},
        {V::lookupsSlow, 900, V::good},
        {V::lookupsSlow, 910, V::lookupsSlow},
        {V::lookupsFailing, 911, V::lookupsFailing},
        {V::lookupsSlow, 912, V::lookupsSlow},
    };
    VerdictFilter filter;
    for (const auto& step : steps)
        EXPECT_EQ(filter.apply(step.raw, MonitorTime{Seconds{step.time}}, step.urgent), step.shown) << "at " << step.time;
}

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
const MonitorSnapshot bothDown = snapshot(V::internetDown, S::down(),
                                          {host(TargetRole::router(), "router", S::down(), at(12, 0, 5)),
                                           host(TargetRole::internet(0), "a", S::down(), at(11, 59, 50)),
                                           host(TargetRole::internet(1), "b", S::down(), at(12, 0, 0)),
                                           host(TargetRole::custom(0), "custom", S::down(), at(12, 0, 8))});
const MonitorSnapshot good = snapshot(V::good, S::ok(), {host(TargetRole::internet(0), "a", S::ok())});
const MonitorSnapshot measuring = snapshot(V::measuring, std::nullopt);
const MonitorSnapshot problem = snapshot(V::internetProblem, S::bad(Problems::latency()));
const Down downAtNoon{dateFromUnixSeconds(at(12, 0, 0)), {"a", "b"}, V::internetDown};
const MonitorSnapshot signIn = [] { auto shown = bothDown; return shown.verdict = V::signInNeeded, shown; }();

struct AlertStep {
    MonitorSnapshot snapshot;
    double now;
    std::vector<AlertTracker::Alert> alerts;
};

// One row per tracker: its switches and the snapshots it is given, in order.
TEST(AlertTracker, InternetDownAfterTenSecondsBackWithItsDurationAndVerdictsAfterThirty) {
    const struct {
        const char* story;
        bool outages, verdicts;
        std::vector<AlertStep> steps;
    } stories[] = {
        {"down ten seconds after the last host failed, back with its duration", true, true,
         {{good, at(11, 0, 0), {}},
          {good, at(11, 0, 30), {}},  // the first settled verdict is never announced
          {bothDown, at(12, 0, 9), {}},
          {bothDown, at(12, 0, 10), {downAtNoon}},
          {bothDown, at(12, 1, 20), {}},  // the settled verdict is covered by the down alert
          {good, at(12, 3, 0), {}},  // back once the return has held 5 s, dated from the return
          {good, at(12, 3, 5), {Back{Seconds{180}}}},
          {good, at(12, 3, 30), {}}}},  // nor is the good verdict that follows announced
        {"a moment of replies inside an outage: one incident, one pair of alerts", true, false,
         {{bothDown, at(12, 0, 10), {downAtNoon}},
          {good, at(12, 0, 40), {}},
          {bothDown, at(12, 0, 43), {}},
          {good, at(12, 1, 0), {}},
          {good, at(12, 1, 5), {Back{Seconds{60}}}}}},
        {"short outage", true, true, {{bothDown, at(12, 0, 8), {}}, {good, at(12, 0, 9), {}}}},
        {"outages off: the verdict stage announces it", false, true,
         {{good, at(10, 0, 0), {}},
          {good, at(10, 0, 30), {}},
          {bothDown, at(12, 0, 0), {}},
          {bothDown, at(12, 0, 30), {Changed{V::internetDown}}},
          {good, at(12, 5, 0), {}}}},
        {"no outage start known: timed from now", true, false,
         {{snapshot(V::connectionDown, S::down(), {host(TargetRole::internet(0), "a", S::down())}), 500, {}},
          {snapshot(V::connectionDown, S::down(), {host(TargetRole::internet(0), "a", S::down())}), 510,
           {Down{dateFromUnixSeconds(500), {"a"}, V::connectionDown}}}}},
        {"measuring in between restarts no timer", true, true,
         {{bothDown, at(12, 0, 0), {}},
          {snapshot(V::measuring, S::measuring()), at(12, 0, 5), {}},
          {bothDown, at(12, 0, 10), {downAtNoon}},
          {good, at(13, 0, 0), {}},
          {good, at(13, 0, 5), {Back{Seconds{3600}}}},
          {good, at(13, 0, 30), {}},
          {problem, at(14, 0, 0), {}},
          {measuring, at(14, 0, 29), {}},
          {problem, at(14, 0, 31), {Changed{V::internetProblem}}},
          // A brief change that goes back before 30 s is never announced.
          {good, at(15, 0, 0), {}},
          {problem, at(15, 0, 20), {}},
          {problem, at(15, 1, 0), {}}}},
        {"a sign-in the down alert asked for is not asked again; one it did not ask for is", true, true,
         {{good, at(11, 0, 0), {}}, {good, at(11, 0, 30), {}},
          {signIn, at(12, 0, 10), {Down{dateFromUnixSeconds(at(12, 0, 0)), {"a", "b"}, V::signInNeeded}}}, {signIn, at(12, 0, 40), {}},
          {good, at(13, 0, 0), {}}, {good, at(13, 0, 5), {Back{Seconds{3600}}}},
          {bothDown, at(14, 0, 10), {downAtNoon}}, {signIn, at(14, 0, 20), {}}, {signIn, at(14, 0, 50), {Changed{V::signInNeeded}}}}},
    };
    for (const auto& story : stories) {
        SCOPED_TRACE(story.story);
        AlertTracker tracker(story.outages, story.verdicts);
        for (const auto& step : story.steps)
            EXPECT_EQ(tracker.update(step.snapshot, dateFromUnixSeconds(step.now)), step.alerts) << text(step.snapshot.verdict) << " at " << step.now;
    }
}

}  // namespace
}  // namespace nerivane
