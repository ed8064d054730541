#include <gtest/gtest.h>


#include "NerivaneKit/probing/TargetTracker.h"

namespace nerivane {
namespace {

using Plan = TargetTracker::Plan;
using Accounting = TargetTracker::Accounting;
constexpr auto icmp = ProbeProtocol::icmp;
constexpr auto tcp = ProbeProtocol::tcp;
const TargetRole router = TargetRole::router(), internet0 = TargetRole::internet(0), custom0 = TargetRole::custom(0);

EngineTime at(double seconds) { return EngineTime{Seconds{seconds}}; }
Seconds seconds(double count) { return Seconds{count}; }

TargetTracker tracker(TargetRole role, EngineTime startedAt = {}, bool isVPN = false) {
    return TargetTracker({role, "host.test", ProbeAddress::v4({192, 0, 2, 1})}, isVPN, startedAt);
}
TargetTracker settledAs(TargetStatus status, TargetRole role = internet0) {
    auto settled = tracker(role);
    settled.setStatus(status);
    return settled;
}
ProbeResult reply() { return {ProbeAddress::v4({192, 0, 2, 1}), 1, {}, ProbeResult::Reply{12.5}}; }
ProbeResult late() { return {ProbeAddress::v4({192, 0, 2, 1}), 1, {}, ProbeResult::Late{2500}}; }
ProbeResult lost() { return {ProbeAddress::v4({192, 0, 2, 1}), 1, {}, ProbeResult::Lost{}}; }

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
        auto t = tracker(c.role, at(5.0), c.isVPN);
        std::optional<double> firstTCP;
        for (double age = 0; age <= 11.0; age += 1.0) {
            const auto settled = t.settle(at(5.0 + age));
            EXPECT_EQ(settled.has_value(), age == 10.0 && !(c.icmpRefused && !c.role.isInternet()));
            const bool warming = t.status() == TargetStatus::warmingUp;
            const Plan plan = t.plan(at(5.0 + age), seconds(1.0), c.routerAnswered, std::nullopt);
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
                t.account(c.hostPings ? reply() : lost(), icmp, plan.icmpIsCheck, seconds(1.0));
            }
            if (plan.sendTCP) t.account(c.hostAnswersTCP ? reply() : lost(), tcp, plan.tcpIsCheck, seconds(1.0));
        }
        EXPECT_EQ(firstTCP, c.firstTCP);
        EXPECT_EQ(t.status(), c.settled);
    }
}

// Settled, answered ICMP checks win ICMP back: a router that never pinged
// on its first, and only by ICMP; a TCP target on three in a row (a lost one
// starts the count again, a late one neither counts nor resets). Then on ICMP
// only a loss at a slow interval starts a burst of due ticks, until three
// replies in a row.
TEST(TargetTracker, ChecksWinICMPBackAndOnlyASlowIntervalLossStartsARecheckBurstUntilThreeReplies) {
    auto r = settledAs(TargetStatus::doesntAnswerPing, router);
    EXPECT_EQ(r.account(reply(), tcp, true, seconds(1.0)), (Accounting{}));
    EXPECT_EQ(r.account(reply(), icmp, true, seconds(1.0)), (Accounting{.newStatus = TargetStatus::icmp, .routerAnswered = true}));
    auto t = settledAs(TargetStatus::tcp);
    for (const auto& result : {reply(), reply(), lost(), reply(), late(), reply()})
        EXPECT_EQ(t.account(result, icmp, true, seconds(1.0)).newStatus, std::nullopt);
    EXPECT_EQ(t.account(reply(), tcp, false, seconds(1.0)).newStatus, std::nullopt);
    EXPECT_EQ(t.account(reply(), icmp, true, seconds(1.0)), (Accounting{.newStatus = TargetStatus::icmp}));

    for (const double fast : {1.0, 0.5}) {
        t.account(lost(), icmp, false, seconds(fast));
        EXPECT_FALSE(t.isRechecking) << fast;
    }
    ASSERT_TRUE(t.plan(at(100.0), seconds(5.0), true, std::nullopt).regularDue);
    EXPECT_FALSE(t.needsFastTicks());
    t.account(lost(), icmp, false, seconds(5.0));
    EXPECT_TRUE(t.needsFastTicks());
    // Ticks 1 s apart are all due; a loss in the middle restarts the count.
    double now = 101.0;
    for (const auto& answer : {reply(), reply(), lost(), reply(), reply(), reply()}) {
        EXPECT_TRUE(t.plan(at(now), seconds(5.0), true, std::nullopt).sendICMP) << now;
        t.account(answer, icmp, false, seconds(5.0));
        now += 1.0;
    }
    EXPECT_FALSE(t.isRechecking);
    EXPECT_FALSE(t.plan(at(now), seconds(5.0), true, std::nullopt).sendICMP);
}

}  // namespace
}  // namespace nerivane
