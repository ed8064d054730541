#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "NerivaneKit/probing/TargetTracker.h"

namespace nerivane {
namespace {

using Plan = TargetTracker::Plan;
using Accounting = TargetTracker::Accounting;
constexpr auto icmp = ProbeProtocol::icmp;
constexpr auto tcp = ProbeProtocol::tcp;

Target targetFor(TargetRole role) {
    return {role, role == TargetRole::router() ? "router" : "host.test", ProbeAddress::v4({192, 0, 2, 1})};
}

ProbeResult reply() { return {ProbeAddress::v4({192, 0, 2, 1}), 1, 0, ProbeResult::Reply{12.5}}; }
ProbeResult late() { return {ProbeAddress::v4({192, 0, 2, 1}), 1, 0, ProbeResult::Late{2500}}; }
ProbeResult lost() { return {ProbeAddress::v4({192, 0, 2, 1}), 1, 0, ProbeResult::Lost{}}; }

// How a simulated host and its router behave during a warm-up.
struct Network {
    bool hostAnswersICMP = false, hostAnswersTCP = false, routerAnswered = false;
    // The system refuses this user every ICMP socket.
    bool icmpRefused = false;
};

// What the engine did with one tracker in one tick.
struct Tick {
    double now = 0;
    Plan plan;
    std::optional<TargetStatus> settled;
    // The status a refused ICMP socket moved the tracker to.
    std::optional<TargetStatus> refused;
};

// Drives a fresh tracker through one tick a second, from 0 s to `until`,
// answering every probe at once the way the engine would book it.
std::vector<Tick> warmUp(TargetTracker& tracker, const Network& network, double until, double interval = 1.0) {
    std::vector<Tick> ticks;
    for (double now = tracker.startedAt; now <= tracker.startedAt + until; now += 1.0) {
        Tick tick{now, {}, tracker.settle(now), std::nullopt};
        tick.plan = tracker.plan(now, interval, network.routerAnswered, std::nullopt);
        if (tick.plan.sendICMP && network.icmpRefused)
            tick.refused = tracker.refuseICMP();
        else if (tick.plan.sendICMP)
            tracker.account(network.hostAnswersICMP ? reply() : lost(), icmp, tick.plan.icmpIsCheck, interval);
        if (tick.plan.sendTCP)
            tracker.account(network.hostAnswersTCP ? reply() : lost(), tcp, tick.plan.tcpIsCheck, interval);
        ticks.push_back(tick);
    }
    return ticks;
}

TargetTracker settledAs(TargetStatus status, TargetRole role = TargetRole::internet(0)) {
    TargetTracker tracker(targetFor(role), false, 0);
    tracker.setStatus(status);
    return tracker;
}

TEST(TargetTracker, WarmUpSettlesAfterTenSecondsOnTheFirstMatchingRule) {
    const struct {
        const char* name;
        TargetRole role;
        bool isVPN;
        int icmpReplies, tcpReplies;
        TargetStatus expected;
    } cases[] = {
        {"answering router", TargetRole::router(), true, 1, 0, TargetStatus::icmp},
        {"silent router on VPN", TargetRole::router(), true, 0, 0, TargetStatus::unreachableVPN},
        {"silent router", TargetRole::router(), false, 0, 0, TargetStatus::doesntAnswerPing},
        {"router with TCP", TargetRole::router(), false, 0, 3, TargetStatus::doesntAnswerPing},
        {"internet over TCP", TargetRole::internet(1), false, 0, 1, TargetStatus::tcp},
        {"IPv6 internet over TCP", TargetRole::internetIPv6(), false, 0, 2, TargetStatus::tcp},
        {"internet with both", TargetRole::internet(0), false, 1, 5, TargetStatus::icmp},
        {"silent internet", TargetRole::internet(0), true, 0, 0, TargetStatus::icmp},
        {"custom with TCP", TargetRole::custom(0), false, 0, 4, TargetStatus::icmp},
        {"silent custom", TargetRole::custom(1), false, 0, 0, TargetStatus::icmp},
    };
    for (const auto& c : cases) {
        TargetTracker tracker(targetFor(c.role), c.isVPN, 100.0);
        tracker.icmpReplies = c.icmpReplies;
        tracker.tcpReplies = c.tcpReplies;
        EXPECT_EQ(tracker.settle(109.99), std::nullopt) << c.name;
        EXPECT_EQ(tracker.status(), TargetStatus::warmingUp) << c.name;
        EXPECT_EQ(tracker.settle(110.0), c.expected) << c.name;
        EXPECT_EQ(tracker.status(), c.expected) << c.name;
        // Settling happens once.
        EXPECT_EQ(tracker.settle(200.0), std::nullopt) << c.name;
    }
}

TEST(TargetTracker, OnlyANonPingingInternetHostBehindAnAnsweringRouterIsTriedWithTCPFromThreeSeconds) {
    TargetTracker tracker(targetFor(TargetRole::internet(0)), false, 5.0);
    const auto ticks = warmUp(tracker, {.hostAnswersTCP = true, .routerAnswered = true}, 10.0);
    ASSERT_EQ(ticks.size(), 11u);
    for (const auto& tick : ticks) {
        const double age = tick.now - 5.0;
        if (age < 10.0) {
            // Every warm-up tick pings as a measurement, and TCP is only a check.
            EXPECT_EQ(tick.plan, (Plan{true, false, age >= 3.0, age >= 3.0, true})) << age;
            EXPECT_EQ(tick.settled, std::nullopt) << age;
        }
    }
    // Settled at 10 s, that very tick measures over TCP; ICMP waits for the
    // first check a minute later.
    EXPECT_EQ(ticks.back().settled, TargetStatus::tcp);
    EXPECT_EQ(ticks.back().plan, (Plan{.sendTCP = true, .regularDue = true}));
    EXPECT_EQ(tracker.tcpReplies, 8);
    EXPECT_EQ(tracker.icmpReplies, 0);

    // No TCP while the router is silent or the host pings, nor for routers
    // and custom hosts.
    TargetTracker silentRouter(targetFor(TargetRole::internet(0)), false, 0);
    for (const auto& tick : warmUp(silentRouter, {.hostAnswersTCP = true}, 10.0)) EXPECT_FALSE(tick.plan.sendTCP);
    EXPECT_EQ(silentRouter.status(), TargetStatus::icmp);

    TargetTracker pinging(targetFor(TargetRole::internetIPv6()), false, 0);
    for (const auto& tick :
         warmUp(pinging, {.hostAnswersICMP = true, .hostAnswersTCP = true, .routerAnswered = true}, 10.0))
        EXPECT_FALSE(tick.plan.sendTCP);
    EXPECT_EQ(pinging.status(), TargetStatus::icmp);

    for (const auto role : {TargetRole::router(), TargetRole::custom(0)}) {
        TargetTracker tracker(targetFor(role), true, 0);
        for (const auto& tick : warmUp(tracker, {.hostAnswersTCP = true, .routerAnswered = true}, 10.0))
            EXPECT_FALSE(tick.plan.sendTCP) << role.text();
    }
}

TEST(TargetTracker, RefusedPingIsNoLossRoutersAndCustomHostsStopAndInternetHostsTryTCPAtOnce) {
    const struct {
        TargetRole role;
        bool hostAnswersTCP;
        std::optional<TargetStatus> refusedAtOnce;
        TargetStatus settled;
    } cases[] = {
        {TargetRole::router(), true, TargetStatus::pingNotPermitted, TargetStatus::pingNotPermitted},
        {TargetRole::custom(0), true, TargetStatus::pingNotPermitted, TargetStatus::pingNotPermitted},
        {TargetRole::internet(0), true, std::nullopt, TargetStatus::tcp},
        {TargetRole::internetIPv6(), true, std::nullopt, TargetStatus::tcp},
        {TargetRole::internet(1), false, std::nullopt, TargetStatus::pingNotPermitted},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.role.text());
        TargetTracker tracker(targetFor(c.role), false, 0);
        // The router never answers here, yet internet hosts need no 3 s wait.
        const auto ticks = warmUp(tracker, {.hostAnswersTCP = c.hostAnswersTCP, .icmpRefused = true}, 10.0);
        EXPECT_EQ(ticks[0].refused, c.refusedAtOnce);
        if (c.role.isInternet()) {
            EXPECT_TRUE(ticks[1].plan.sendTCP && ticks[1].plan.tcpIsCheck);
            EXPECT_EQ(ticks.back().settled, c.settled);
        }
        EXPECT_EQ(tracker.status(), c.settled);
        EXPECT_FALSE(tracker.needsFastTicks());
    }

    // Not permitted: only a check a minute, which brings ICMP back once the
    // user has been let in.
    auto tracker = settledAs(TargetStatus::pingNotPermitted, TargetRole::router());
    EXPECT_EQ(tracker.plan(30.0, 1.0, false, 0.0), Plan{});
    EXPECT_EQ(tracker.plan(60.0, 1.0, false, 0.0), (Plan{.sendICMP = true, .icmpIsCheck = true}));
    EXPECT_EQ(tracker.refuseICMP(), std::nullopt);
    EXPECT_EQ(tracker.account(reply(), icmp, true, 1.0),
              (Accounting{.isMeasurement = false, .newStatus = TargetStatus::icmp, .routerAnswered = true}));
    // A target measured over TCP keeps its measurements when a check is refused.
    auto overTCP = settledAs(TargetStatus::tcp);
    EXPECT_EQ(overTCP.refuseICMP(), std::nullopt);
    EXPECT_EQ(overTCP.status(), TargetStatus::tcp);
}

TEST(TargetTracker, SilentRouterSettlesWithoutTCPAndIsCheckedEveryMinute) {
    TargetTracker tracker(targetFor(TargetRole::router()), true, 0);
    EXPECT_EQ(warmUp(tracker, {.routerAnswered = false}, 10.0).back().settled, TargetStatus::unreachableVPN);

    // The engine starts the check clock when the status begins (10 s).
    const double lastCheck = 10.0;
    for (double now = 11.0; now < 70.0; now += 1.0)
        EXPECT_EQ(tracker.plan(now, 1.0, true, lastCheck), Plan{}) << now;
    EXPECT_EQ(tracker.plan(70.0, 1.0, true, lastCheck), (Plan{.sendICMP = true, .icmpIsCheck = true}));
    // Without any check time nothing is due.
    EXPECT_EQ(tracker.plan(500.0, 1.0, true, std::nullopt), Plan{});
    // The last regular probe was the warm-up's last one.
    EXPECT_EQ(tracker.lastSent, 9.0);
}

TEST(TargetTracker, RegularProbesAreDueHalfASecondEarlyAndTCPTargetsGetAnICMPCheckEveryMinute) {
    auto tracker = settledAs(TargetStatus::icmp);
    EXPECT_EQ(tracker.plan(20.0, 5.0, false, std::nullopt), (Plan{.sendICMP = true, .regularDue = true}));
    EXPECT_EQ(tracker.plan(24.4, 5.0, false, std::nullopt), Plan{});
    EXPECT_EQ(tracker.lastSent, 20.0);
    EXPECT_EQ(tracker.plan(24.5, 5.0, false, std::nullopt), (Plan{.sendICMP = true, .regularDue = true}));
    EXPECT_EQ(tracker.lastSent, 24.5);
    // An ICMP target is never checked: its measurements are the checks.
    EXPECT_EQ(tracker.plan(25.0, 5.0, false, 0.0), Plan{});

    auto tcpTarget = settledAs(TargetStatus::tcp);
    const Plan both{.sendICMP = true, .icmpIsCheck = true, .sendTCP = true, .regularDue = true};
    const Plan tcpOnly{.sendTCP = true, .regularDue = true};
    const std::vector<std::tuple<double, double, Plan>> steps{
        {100.0, 40.0, both}, {101.0, 100.0, tcpOnly}, {101.2, 100.0, Plan{}},
        {159.0, 100.0, tcpOnly}, {159.4, 100.0, Plan{}}, {160.0, 100.0, both}};
    for (const auto& [now, lastCheck, plan] : steps) EXPECT_EQ(tcpTarget.plan(now, 1.0, true, lastCheck), plan) << now;
}

TEST(TargetTracker, OnlyUnflaggedResultsOfTheStatusProtocolAreMeasurements) {
    const struct {
        TargetStatus status;
        ProbeProtocol protocol;
        bool isCheck, measurement;
    } cases[] = {
        {TargetStatus::warmingUp, icmp, false, true},         {TargetStatus::warmingUp, tcp, true, false},
        {TargetStatus::warmingUp, tcp, false, false},        {TargetStatus::icmp, icmp, false, true},
        {TargetStatus::icmp, icmp, true, false},             {TargetStatus::icmp, tcp, false, false},
        {TargetStatus::tcp, tcp, false, true},               {TargetStatus::tcp, icmp, true, false},
        {TargetStatus::tcp, icmp, false, false},             {TargetStatus::doesntAnswerPing, icmp, false, false},
        {TargetStatus::unreachableVPN, icmp, false, false},  {TargetStatus::unreachableVPN, tcp, false, false},
    };
    for (const auto& c : cases) {
        for (const auto& result : {reply(), late(), lost()}) {
            auto tracker = settledAs(c.status, TargetRole::router());
            EXPECT_EQ(tracker.account(result, c.protocol, c.isCheck, 1.0).isMeasurement, c.measurement)
                << text(c.status) << " " << text(c.protocol) << " check " << c.isCheck;
        }
    }
}

TEST(TargetTracker, LateRepliesAreReportedButChangeNothing) {
    auto tracker = settledAs(TargetStatus::icmp);
    tracker.account(lost(), icmp, false, 5.0);
    const auto before = tracker;
    EXPECT_EQ(tracker.account(late(), icmp, false, 5.0), (Accounting{.isMeasurement = true}));
    EXPECT_EQ(tracker, before);

    // A late reply from the router does not count as the router answering.
    TargetTracker router(targetFor(TargetRole::router()), false, 0);
    EXPECT_FALSE(router.account(late(), icmp, false, 1.0).routerAnswered);
    EXPECT_TRUE(router.account(reply(), icmp, true, 1.0).routerAnswered);
    EXPECT_FALSE(router.account(reply(), tcp, true, 1.0).routerAnswered);
    TargetTracker internet(targetFor(TargetRole::internet(0)), false, 0);
    EXPECT_FALSE(internet.account(reply(), icmp, false, 1.0).routerAnswered);
}

TEST(TargetTracker, OnlyASlowIntervalLossStartsABurstOfDueTicksUntilThreeReplies) {
    for (const double fast : {1.0, 0.5}) {
        auto tracker = settledAs(TargetStatus::icmp);
        tracker.account(lost(), icmp, false, fast);
        EXPECT_FALSE(tracker.isRechecking) << fast;
    }

    auto tracker = settledAs(TargetStatus::icmp);
    const double interval = 5.0;
    ASSERT_TRUE(tracker.plan(100.0, interval, true, std::nullopt).regularDue);
    EXPECT_FALSE(tracker.needsFastTicks());
    tracker.account(lost(), icmp, false, interval);
    EXPECT_TRUE(tracker.isRechecking);
    EXPECT_TRUE(tracker.needsFastTicks());

    // Ticks 1 s apart are all due; a loss in the middle restarts the count.
    const std::vector<ProbeResult> answers{reply(), reply(), lost(), reply(), reply(), reply()};
    double now = 101.0;
    for (const auto& answer : answers) {
        EXPECT_TRUE(tracker.plan(now, interval, true, std::nullopt).sendICMP) << now;
        tracker.account(answer, icmp, false, interval);
        now += 1.0;
    }
    EXPECT_FALSE(tracker.isRechecking);
    EXPECT_FALSE(tracker.plan(now, interval, true, std::nullopt).sendICMP);

    // Checks and other-protocol results neither start nor advance a burst.
    auto checked = settledAs(TargetStatus::tcp);
    checked.account(lost(), icmp, true, interval);
    EXPECT_FALSE(checked.isRechecking);
    checked.account(lost(), tcp, false, interval);
    ASSERT_TRUE(checked.isRechecking);
    checked.account(reply(), icmp, true, interval);
    EXPECT_EQ(checked.recheckReplies, 0);
    // A loss after the interval was shortened ends a running burst.
    checked.account(lost(), tcp, false, 1.0);
    EXPECT_FALSE(checked.isRechecking);
}

TEST(TargetTracker, ReturnsToICMPAfterThreeAnsweredChecksInARowOrARouterAfterOne) {
    auto tracker = settledAs(TargetStatus::tcp);
    EXPECT_EQ(tracker.account(reply(), icmp, true, 1.0).newStatus, std::nullopt);
    EXPECT_EQ(tracker.account(reply(), icmp, true, 1.0).newStatus, std::nullopt);
    // A lost check starts the count again.
    tracker.account(lost(), icmp, true, 1.0);
    EXPECT_EQ(tracker.consecutiveICMPReplies, 0);
    EXPECT_EQ(tracker.account(reply(), icmp, true, 1.0).newStatus, std::nullopt);
    EXPECT_EQ(tracker.account(reply(), icmp, true, 1.0).newStatus, std::nullopt);
    // A late reply to an earlier check neither counts nor resets.
    tracker.account(late(), icmp, true, 1.0);
    EXPECT_EQ(tracker.consecutiveICMPReplies, 2);
    // TCP results never move the status.
    for (int i = 0; i < 5; ++i) EXPECT_EQ(tracker.account(reply(), tcp, false, 1.0).newStatus, std::nullopt);
    EXPECT_EQ(tracker.account(reply(), icmp, true, 1.0), (Accounting{.newStatus = TargetStatus::icmp}));
    EXPECT_EQ(tracker.status(), TargetStatus::icmp);
    EXPECT_EQ(tracker.icmpReplies, 5);
    EXPECT_EQ(tracker.tcpReplies, 5);

    // A router that never pinged returns on the first answered check.
    for (const auto status : {TargetStatus::doesntAnswerPing, TargetStatus::unreachableVPN}) {
        auto router = settledAs(status, TargetRole::router());
        EXPECT_EQ(router.account(lost(), icmp, true, 1.0).newStatus, std::nullopt);
        EXPECT_EQ(router.account(late(), icmp, true, 1.0).newStatus, std::nullopt);
        EXPECT_EQ(router.account(reply(), icmp, true, 1.0),
                  (Accounting{.newStatus = TargetStatus::icmp, .routerAnswered = true}));
    }
}

TEST(TargetTracker, ChangingProtocolEndsARecheckBurst) {
    auto tracker = settledAs(TargetStatus::tcp);
    tracker.account(lost(), tcp, false, 5.0);
    tracker.account(reply(), tcp, false, 5.0);
    ASSERT_TRUE(tracker.isRechecking);
    ASSERT_EQ(tracker.recheckReplies, 1);
    for (int i = 0; i < 3; ++i) tracker.account(reply(), icmp, true, 5.0);
    EXPECT_EQ(tracker.status(), TargetStatus::icmp);
    EXPECT_FALSE(tracker.isRechecking);
    EXPECT_EQ(tracker.recheckReplies, 0);

    // Settling from warm-up to ICMP keeps the burst of the same protocol.
    TargetTracker warming(targetFor(TargetRole::custom(0)), false, 0);
    warming.account(reply(), icmp, false, 5.0);
    warming.account(lost(), icmp, false, 5.0);
    warming.account(reply(), icmp, false, 5.0);
    EXPECT_EQ(warming.settle(10.0), TargetStatus::icmp);
    EXPECT_TRUE(warming.isRechecking);
    EXPECT_EQ(warming.recheckReplies, 1);

    // Settling to a status without measurements ends it.
    TargetTracker router(targetFor(TargetRole::router()), false, 0);
    router.account(lost(), icmp, false, 5.0);
    ASSERT_TRUE(router.isRechecking);
    EXPECT_EQ(router.settle(10.0), TargetStatus::doesntAnswerPing);
    EXPECT_FALSE(router.isRechecking);
    EXPECT_FALSE(router.needsFastTicks());
}

}  // namespace
}  // namespace nerivane
