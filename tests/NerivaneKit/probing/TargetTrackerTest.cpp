#include <gtest/gtest.h>

#include <vector>

#include "NerivaneKit/probing/TargetTracker.h"

namespace nerivane {
namespace {

using Plan = TargetTracker::Plan;
using Accounting = TargetTracker::Accounting;
constexpr auto icmp = ProbeProtocol::icmp;
constexpr auto tcp = ProbeProtocol::tcp;
const TargetRole router = TargetRole::router(), internet0 = TargetRole::internet(0), custom0 = TargetRole::custom(0);

TargetTracker tracker(TargetRole role, double startedAt = 0, bool isVPN = false) {
    return TargetTracker({role, "host.test", ProbeAddress::v4({192, 0, 2, 1})}, isVPN, startedAt);
}
TargetTracker settledAs(TargetStatus status, TargetRole role = internet0) {
    auto settled = tracker(role);
    settled.setStatus(status);
    return settled;
}
ProbeResult reply() { return {ProbeAddress::v4({192, 0, 2, 1}), 1, 0, ProbeResult::Reply{12.5}}; }
ProbeResult late() { return {ProbeAddress::v4({192, 0, 2, 1}), 1, 0, ProbeResult::Late{2500}}; }
ProbeResult lost() { return {ProbeAddress::v4({192, 0, 2, 1}), 1, 0, ProbeResult::Lost{}}; }

// A fresh tracker driven one tick a second through its warm-up, every probe
// answered at once as the network of the row does; a refused ICMP socket
// makes routers and custom hosts not permitted at once, and internet hosts
// try TCP without waiting for the router. Each settles once, ten seconds in.
TEST(TargetTracker, WarmUpTriesTCPOnlyForInternetHostsThatDoNotPing) {
    const struct {
        TargetRole role;
        bool hostPings, hostAnswersTCP, routerAnswered, icmpRefused;
        std::optional<double> firstTCP;
        TargetStatus settled;
        bool isVPN = false;
    } cases[] = {
        {router, true, false, false, false, std::nullopt, TargetStatus::icmp, true},
        {router, false, false, false, false, std::nullopt, TargetStatus::unreachableVPN, true},
        {internet0, false, false, false, false, std::nullopt, TargetStatus::icmp, true},
        {internet0, false, true, true, false, 3.0, TargetStatus::tcp},
        {internet0, false, true, false, false, std::nullopt, TargetStatus::icmp},
        {TargetRole::internetIPv6(), true, true, true, false, std::nullopt, TargetStatus::icmp},
        {router, false, true, true, false, std::nullopt, TargetStatus::doesntAnswerPing},
        {custom0, false, true, true, false, std::nullopt, TargetStatus::icmp},
        {router, false, true, false, true, std::nullopt, TargetStatus::pingNotPermitted},
        {custom0, false, true, true, true, std::nullopt, TargetStatus::pingNotPermitted},
        {TargetRole::internetIPv6(), false, true, false, true, 1.0, TargetStatus::tcp},
        {TargetRole::internet(1), false, false, false, true, 1.0, TargetStatus::pingNotPermitted},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.role.text() + (c.icmpRefused ? " refused" : "") + (c.isVPN ? " VPN" : ""));
        auto t = tracker(c.role, 5.0, c.isVPN);
        std::optional<double> firstTCP;
        for (double age = 0; age <= 11.0; age += 1.0) {
            const auto settled = t.settle(5.0 + age);
            EXPECT_EQ(settled.has_value(), age == 10.0 && !(c.icmpRefused && !c.role.isInternet()));
            const bool warming = t.status() == TargetStatus::warmingUp;
            const Plan plan = t.plan(5.0 + age, 1.0, c.routerAnswered, std::nullopt);
            if (warming) {
                // Warm-up pings measure; TCP is only a check.
                EXPECT_TRUE(plan.sendICMP && plan.regularDue && !plan.icmpIsCheck) << age;
                EXPECT_EQ(plan.tcpIsCheck, plan.sendTCP) << age;
            }
            if (plan.sendTCP && !firstTCP) firstTCP = age;
            if (plan.sendICMP && c.icmpRefused) {
                const auto refused = t.refuseICMP();
                EXPECT_EQ(refused, age == 0 && !c.role.isInternet() ? std::optional(TargetStatus::pingNotPermitted)
                                                                     : std::nullopt);
            } else if (plan.sendICMP) {
                t.account(c.hostPings ? reply() : lost(), icmp, plan.icmpIsCheck, 1.0);
            }
            if (plan.sendTCP) t.account(c.hostAnswersTCP ? reply() : lost(), tcp, plan.tcpIsCheck, 1.0);
            if (age == 10.0 && c.settled == TargetStatus::tcp) {
                EXPECT_EQ(plan, (Plan{.sendTCP = true, .regularDue = true})) << "settled: TCP measures at once";
            }
        }
        EXPECT_EQ(firstTCP, c.firstTCP);
        EXPECT_EQ(t.status(), c.settled);
    }
}

TEST(TargetTracker, RegularProbesAreDueHalfASecondEarlyAndOthersAreCheckedEveryMinute) {
    const Plan regular{.sendICMP = true, .regularDue = true}, check{.sendICMP = true, .icmpIsCheck = true};
    const Plan tcpOnly{.sendTCP = true, .regularDue = true};
    const Plan both{.sendICMP = true, .icmpIsCheck = true, .sendTCP = true, .regularDue = true};
    const struct {
        TargetStatus status;
        double interval;
        std::vector<std::tuple<double, std::optional<double>, Plan>> steps;  // now, last check, plan
    } cases[] = {
        // An ICMP target is never checked: its measurements are the checks.
        {TargetStatus::icmp, 5.0, {{20.0, {}, regular}, {24.4, {}, {}}, {24.5, {}, regular}, {25.0, 0.0, {}}}},
        {TargetStatus::tcp, 1.0,
         {{100.0, 40.0, both}, {101.0, 100.0, tcpOnly}, {101.2, 100.0, {}}, {159.0, 100.0, tcpOnly},
          {159.4, 100.0, {}}, {160.0, 100.0, both}}},
        {TargetStatus::unreachableVPN, 1.0, {{11.0, 10.0, {}}, {69.9, 10.0, {}}, {70.0, 10.0, check}, {500.0, {}, {}}}},
        {TargetStatus::pingNotPermitted, 1.0, {{30.0, 0.0, {}}, {60.0, 0.0, check}}},
    };
    for (const auto& c : cases) {
        auto t = settledAs(c.status, router);
        for (const auto& [now, lastCheck, plan] : c.steps)
            EXPECT_EQ(t.plan(now, c.interval, true, lastCheck), plan) << text(c.status) << " at " << now;
    }
}

TEST(TargetTracker, OnlyUnflaggedResultsOfTheStatusProtocolAreMeasurements) {
    const struct {
        TargetStatus status;
        ProbeProtocol protocol;
        bool isCheck, measurement;
    } cases[] = {
        {TargetStatus::warmingUp, icmp, false, true}, {TargetStatus::warmingUp, tcp, true, false},
        {TargetStatus::icmp, icmp, true, false},      {TargetStatus::icmp, tcp, false, false},
        {TargetStatus::tcp, tcp, false, true},        {TargetStatus::tcp, icmp, true, false},
        {TargetStatus::tcp, icmp, false, false},      {TargetStatus::unreachableVPN, icmp, false, false},
    };
    for (const auto& c : cases) {
        for (const auto& result : {reply(), late(), lost()}) {
            auto t = settledAs(c.status, router);
            EXPECT_EQ(t.account(result, c.protocol, c.isCheck, 1.0).isMeasurement, c.measurement)
                << text(c.status) << " " << text(c.protocol) << " check " << c.isCheck;
        }
    }
}

TEST(TargetTracker, AnsweredChecksBringICMPBackAndLateRepliesChangeNothing) {
    auto t = settledAs(TargetStatus::tcp);
    t.account(lost(), icmp, false, 5.0);
    const auto before = t;
    EXPECT_EQ(t.account(late(), icmp, false, 5.0), (Accounting{}));
    EXPECT_EQ(t, before);
    // Three answered checks in a row; a lost one starts the count again, a
    // late one neither counts nor resets, TCP results never move the status.
    for (const auto& result : {reply(), reply(), lost(), reply(), late(), reply()})
        EXPECT_EQ(t.account(result, icmp, true, 1.0).newStatus, std::nullopt);
    EXPECT_EQ(t.account(reply(), tcp, false, 1.0).newStatus, std::nullopt);
    EXPECT_EQ(t.account(reply(), icmp, true, 1.0), (Accounting{.newStatus = TargetStatus::icmp}));

    // A router that never pinged, or a host that was refused ping, returns on
    // the first answered check; only a router's ICMP reply is its answer.
    for (const auto status : {TargetStatus::doesntAnswerPing, TargetStatus::unreachableVPN, TargetStatus::pingNotPermitted}) {
        auto r = settledAs(status, router);
        EXPECT_EQ(r.account(late(), icmp, true, 1.0), (Accounting{}));
        EXPECT_EQ(r.account(reply(), tcp, true, 1.0), (Accounting{}));
        EXPECT_EQ(r.account(reply(), icmp, true, 1.0),
                  (Accounting{.newStatus = TargetStatus::icmp, .routerAnswered = true}));
    }
    EXPECT_FALSE(settledAs(TargetStatus::icmp).account(reply(), icmp, false, 1.0).routerAnswered);
    // A target measured over TCP keeps its measurements when a check is refused.
    auto overTCP = settledAs(TargetStatus::tcp);
    EXPECT_EQ(overTCP.refuseICMP(), std::nullopt);
    EXPECT_EQ(overTCP.status(), TargetStatus::tcp);
}

TEST(TargetTracker, OnlyASlowIntervalLossStartsARecheckBurstUntilThreeRepliesOrAProtocolChange) {
    for (const double fast : {1.0, 0.5}) {
        auto t = settledAs(TargetStatus::icmp);
        t.account(lost(), icmp, false, fast);
        EXPECT_FALSE(t.isRechecking) << fast;
    }
    auto t = settledAs(TargetStatus::icmp);
    ASSERT_TRUE(t.plan(100.0, 5.0, true, std::nullopt).regularDue);
    EXPECT_FALSE(t.needsFastTicks());
    t.account(lost(), icmp, false, 5.0);
    EXPECT_TRUE(t.needsFastTicks());
    // Ticks 1 s apart are all due; a loss in the middle restarts the count.
    double now = 101.0;
    for (const auto& answer : {reply(), reply(), lost(), reply(), reply(), reply()}) {
        EXPECT_TRUE(t.plan(now, 5.0, true, std::nullopt).sendICMP) << now;
        t.account(answer, icmp, false, 5.0);
        now += 1.0;
    }
    EXPECT_FALSE(t.isRechecking);
    EXPECT_FALSE(t.plan(now, 5.0, true, std::nullopt).sendICMP);

    // Checks neither start nor advance a burst; leaving TCP ends it.
    auto checked = settledAs(TargetStatus::tcp);
    checked.account(lost(), icmp, true, 5.0);
    EXPECT_FALSE(checked.isRechecking);
    checked.account(lost(), tcp, false, 5.0);
    for (int i = 0; i < 3; ++i) checked.account(reply(), icmp, true, 5.0);
    EXPECT_EQ(checked.status(), TargetStatus::icmp);
    EXPECT_FALSE(checked.isRechecking);
    // Settling from warm-up to ICMP keeps the burst; to a status without
    // measurements ends it.
    auto warming = tracker(custom0), silentRouter = tracker(router);
    for (auto* w : {&warming, &silentRouter}) w->account(lost(), icmp, false, 5.0);
    warming.account(reply(), icmp, false, 5.0);
    EXPECT_EQ(warming.settle(10.0), TargetStatus::icmp);
    EXPECT_EQ(warming.recheckReplies, 1);
    EXPECT_EQ(silentRouter.settle(10.0), TargetStatus::doesntAnswerPing);
    EXPECT_FALSE(silentRouter.needsFastTicks());
}

}  // namespace
}  // namespace nerivane
