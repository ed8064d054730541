#include <gtest/gtest.h>

#include <vector>

#include "Printers.h"
#include "NerivaneKit/analysis/MonitorCore.h"

namespace nerivane {
namespace {

// Monitor seconds map to dates a fixed distance away.
constexpr double epoch = 1'700'000'000;

Target target(TargetRole role, const std::string& host, const std::string& address) {
    return Target{role, host, *ProbeAddress::parse(address)};
}

const Target router = target(TargetRole::router(), "router", "192.168.1.1");
const Target hostA = target(TargetRole::internet(0), "1.1.1.1", "1.1.1.1");
const Target hostB = target(TargetRole::internet(1), "8.8.8.8", "8.8.8.8");
const Target hostV6 = target(TargetRole::internetIPv6(), "1.1.1.1", "2606:4700:4700::1111");

NetworkPath satisfied() {
    NetworkPath path;
    path.isSatisfied = true;
    path.hasIPv4 = true;
    return path;
}

const ProbeResult::Outcome lost = ProbeResult::Lost{};
ProbeResult::Outcome reply(double ms) { return ProbeResult::Reply{ms}; }

struct Harness {
    MonitorCore core{[](double t) { return epoch + t; }};

    explicit Harness(std::vector<Target> targets = {router, hostA, hostB}) {
        core.install(satisfied(), targets, 0);
        for (const auto& t : targets) core.statusChanged(t.role, TargetStatus::icmp, 0);
    }
    // One reply of ms per target, each second from `from` up to `to`.
    void replies(const Target& t, double ms, int from, int to) {
        for (int i = from; i < to; ++i) core.result(t.role, reply(ms), i);
    }
    const TargetSnapshot& of(const MonitorSnapshot& snapshot, const Target& t) {
        for (const auto& entry : snapshot.targets) {
            if (entry.target == t) return entry;
        }
        throw std::logic_error("no such target");
    }
};

TEST(MonitorCore, BeforeAnyTargetsEverythingIsMeasuring) {
    MonitorCore core{[](double t) { return t; }};
    const auto snapshot = core.tick(10);
    EXPECT_EQ(snapshot.path, NetworkPath::empty());
    EXPECT_TRUE(snapshot.targets.empty());
    EXPECT_EQ(snapshot.verdict, Verdict::measuring);
    EXPECT_EQ(snapshot.internet, std::nullopt);
    EXPECT_TRUE(core.result(TargetRole::router(), lost, 1).empty());
    EXPECT_TRUE(core.takeProbes().empty());
}

TEST(MonitorCore, FirstRealVerdictShowsAtOnceAndFollowsTheTargets) {
    Harness h;
    EXPECT_EQ(h.core.snapshot(0).verdict, Verdict::measuring);  // windows still empty
    h.replies(router, 2, 0, 10);
    h.replies(hostA, 15, 0, 10);
    h.replies(hostB, 20, 0, 10);
    auto snapshot = h.core.tick(10);
    EXPECT_EQ(snapshot.verdict, Verdict::good);
    EXPECT_EQ(snapshot.internet, TargetState::ok());
    EXPECT_EQ(h.of(snapshot, hostA).metrics.median, 15);
    EXPECT_EQ(h.of(snapshot, hostA).state, TargetState::ok());

    // Both hosts slow: the raw verdict changes, the shown one after 10 s.
    h.replies(hostA, 400, 10, 30);
    h.replies(hostB, 400, 10, 30);
    snapshot = h.core.tick(30);
    EXPECT_EQ(snapshot.internet, TargetState::bad(Problems::latency()));
    EXPECT_EQ(snapshot.verdict, Verdict::good);
    EXPECT_EQ(h.core.tick(39.9).verdict, Verdict::good);
    EXPECT_EQ(h.core.tick(40).verdict, Verdict::internetProblem);
}

TEST(MonitorCore, OutageMarksTheTargetDownAndEndsWithAnEvent) {
    Harness h;
    h.replies(router, 2, 0, 10);
    h.replies(hostA, 15, 0, 10);
    for (int i = 10; i < 20; ++i) {
        h.core.result(hostA.role, lost, i);
        h.core.result(hostB.role, lost, i);
    }
    h.replies(router, 2, 10, 20);
    auto snapshot = h.core.tick(14.9);
    EXPECT_FALSE(h.of(snapshot, hostA).outageSince);
    snapshot = h.core.tick(15);
    EXPECT_EQ(h.of(snapshot, hostA).state, TargetState::down());
    EXPECT_EQ(h.of(snapshot, hostA).outageSince, epoch + 10);
    EXPECT_EQ(snapshot.internet, TargetState::down());

    const auto events = h.core.result(hostA.role, reply(15), 25);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0], (NetworkEvent{NetworkEvent::Kind::outage, hostA.role, hostA.host, hostA.address,
                                       epoch + 10, epoch + 25, std::nullopt}));
}

TEST(MonitorCore, SpikeEventComesBeforeTheOutageEventOfTheSameReply) {
    Harness h;
    h.replies(hostA, 5, 0, 6);
    h.replies(hostA, 100, 6, 9);
    for (int i = 9; i < 12; ++i) h.core.result(hostA.role, lost, i);  // losses neither extend nor end the run
    h.core.tick(20);
    const auto events = h.core.result(hostA.role, reply(5), 21);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].kind, NetworkEvent::Kind::spike);
    EXPECT_EQ(events[0].start, epoch + 6);
    EXPECT_EQ(events[0].end, epoch + 21);
    EXPECT_EQ(events[0].worstRTT, 100);
    EXPECT_EQ(events[1].kind, NetworkEvent::Kind::outage);
    EXPECT_EQ(events[1].start, epoch + 9);
}

TEST(MonitorCore, InstallingAgainClosesOutagesAndStartsFromScratch) {
    Harness h;
    h.replies(router, 2, 0, 10);
    h.replies(hostB, 20, 0, 10);
    for (int i = 0; i < 5; ++i) h.core.result(hostA.role, lost, i);
    EXPECT_EQ(h.core.tick(10).verdict, Verdict::good);

    const auto events = h.core.install(satisfied(), {router, hostA, hostB}, 12);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].role, hostA.role);
    EXPECT_EQ(events[0].start, epoch + 0);
    EXPECT_EQ(events[0].end, epoch + 12);

    auto snapshot = h.core.snapshot(12);
    EXPECT_EQ(snapshot.verdict, Verdict::measuring);
    for (const auto& target : snapshot.targets) {
        EXPECT_EQ(target.status, TargetStatus::warmingUp);
        EXPECT_EQ(target.metrics, Metrics{});
    }
    // The first real verdict after installing shows at once.
    for (const auto& t : {router, hostA, hostB}) h.core.statusChanged(t.role, TargetStatus::icmp, 13);
    h.replies(router, 2, 13, 15);
    h.replies(hostA, 400, 13, 15);
    EXPECT_EQ(h.core.tick(15).verdict, Verdict::measuring);  // one host still has nothing
    h.replies(hostB, 400, 13, 15);
    EXPECT_EQ(h.core.tick(15).verdict, Verdict::internetProblem);
}

TEST(MonitorCore, WarmUpRecordsAreReleasedOnlyWhenTheTargetSettlesOnICMP) {
    MonitorCore core{[](double t) { return epoch + t; }};
    core.install(satisfied(), {hostA, hostB}, 0);
    core.result(hostA.role, reply(10), 1);
    core.result(hostA.role, lost, 2);
    core.result(hostB.role, lost, 1);
    core.result(hostB.role, lost, 2);
    EXPECT_TRUE(core.tick(3).targets.size() == 2 && core.takeProbes().empty());

    core.statusChanged(hostA.role, TargetStatus::icmp, 3);
    auto probes = core.takeProbes();
    ASSERT_EQ(probes.size(), 2u);
    EXPECT_EQ(probes[0], (ProbeRecord{hostA, ProbeProtocol::icmp, reply(10), epoch + 1}));
    EXPECT_EQ(probes[1].outcome, lost);
    EXPECT_EQ(core.snapshot(3).targets[0].metrics.sent, 2);  // window kept

    core.statusChanged(hostB.role, TargetStatus::tcp, 3);
    EXPECT_TRUE(core.takeProbes().empty());
    EXPECT_EQ(core.snapshot(3).targets[1].metrics.sent, 0);  // fresh window

    // Once measured by TCP, records go out at once and say so.
    core.result(hostB.role, reply(30), 4);
    core.result(hostB.role, ProbeResult::Late{3000}, 4.5);
    probes = core.takeProbes();
    ASSERT_EQ(probes.size(), 2u);
    EXPECT_EQ(probes[0].probeProtocol, ProbeProtocol::tcp);
    EXPECT_EQ(probes[1].outcome, (ProbeResult::Outcome{ProbeResult::Late{3000}}));
    EXPECT_EQ(core.snapshot(5).targets[1].metrics.late, 1);
    EXPECT_EQ(core.snapshot(5).targets[1].metrics.sent, 1);
}

TEST(MonitorCore, StatusChangesResetByMeasuringMethod) {
    Harness h;
    for (int i = 0; i < 4; ++i) h.core.result(hostA.role, lost, i);
    h.core.tick(10);

    // Same method: icmp -> warmingUp keeps everything.
    EXPECT_TRUE(h.core.statusChanged(hostA.role, TargetStatus::warmingUp, 11).empty());
    EXPECT_EQ(h.core.snapshot(11).targets[1].metrics.sent, 4);
    EXPECT_EQ(h.core.snapshot(11).targets[1].state, TargetState::measuring());  // warming up beats down
    EXPECT_TRUE(h.core.statusChanged(hostA.role, TargetStatus::icmp, 11).empty());

    // ICMP -> TCP closes the outage and starts over.
    auto events = h.core.statusChanged(hostA.role, TargetStatus::tcp, 12);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].end, epoch + 12);
    EXPECT_EQ(h.core.snapshot(12).targets[1].metrics.sent, 0);

    // Leaving "not measured" resets whatever comes next.
    h.replies(router, 2, 12, 20);
    h.core.statusChanged(router.role, TargetStatus::doesntAnswerPing, 20);
    EXPECT_EQ(h.core.snapshot(20).targets[0].metrics.sent, 0);
    h.replies(router, 2, 20, 22);
    h.core.statusChanged(router.role, TargetStatus::icmp, 22);
    EXPECT_EQ(h.core.snapshot(22).targets[0].metrics.sent, 0);

    EXPECT_TRUE(h.core.statusChanged(TargetRole::custom(0), TargetStatus::tcp, 22).empty());
}

TEST(MonitorCore, RouterThatCannotBeMeasuredCountsAsAbsent) {
    Harness h;
    h.core.statusChanged(router.role, TargetStatus::doesntAnswerPing, 0);
    h.replies(hostA, 400, 0, 10);
    h.replies(hostB, 400, 0, 10);
    EXPECT_EQ(h.core.tick(10).verdict, Verdict::connectionProblem);
}

TEST(MonitorCore, AnsweredLocallyNeedsFiveRepliesOnBothSides) {
    Harness h;
    h.replies(router, 2, 0, 10);
    h.replies(hostA, 1.5, 0, 6);
    h.replies(hostB, 400, 0, 10);
    auto snapshot = h.core.tick(10);
    EXPECT_TRUE(h.of(snapshot, hostA).answeredLocally);
    // Left out of the internet state: only the slow host counts.
    EXPECT_EQ(snapshot.internet, TargetState::bad(Problems::latency()));
    EXPECT_EQ(snapshot.measuredInternetTargets().size(), 1u);

    Harness few;
    few.replies(router, 2, 0, 10);
    few.replies(hostA, 1.5, 0, 4);
    EXPECT_FALSE(few.of(few.core.tick(10), hostA).answeredLocally);

    Harness thinRouter;
    thinRouter.replies(router, 2, 0, 4);
    thinRouter.replies(hostA, 1.5, 0, 10);
    EXPECT_FALSE(thinRouter.of(thinRouter.core.tick(10), hostA).answeredLocally);

    // Equal to the router's fastest reply still counts as local.
    Harness equal;
    equal.replies(router, 2, 0, 10);
    equal.replies(hostA, 2, 0, 10);
    EXPECT_TRUE(equal.of(equal.core.tick(10), hostA).answeredLocally);
}

TEST(MonitorCore, HostsThatDoNotAnswerPingAreLeftOutOfTheInternetState) {
    Harness h;
    h.core.statusChanged(hostA.role, TargetStatus::doesntAnswerPing, 0);
    h.replies(router, 2, 0, 10);
    h.replies(hostB, 20, 0, 10);
    const auto snapshot = h.core.tick(10);
    EXPECT_EQ(snapshot.internet, TargetState::ok());
    ASSERT_EQ(snapshot.measuredInternetTargets().size(), 1u);
    EXPECT_EQ(snapshot.measuredInternetTargets()[0].target, hostB);
}

TEST(MonitorCore, IPv6ProblemOnlyWhileIPv4InternetIsFine) {
    Harness h({router, hostA, hostV6});
    h.replies(router, 2, 0, 10);
    h.replies(hostA, 20, 0, 10);
    for (int i = 0; i < 10; ++i) h.core.result(hostV6.role, lost, i);
    auto snapshot = h.core.tick(10);
    EXPECT_EQ(h.of(snapshot, hostV6).state, TargetState::down());
    EXPECT_TRUE(snapshot.ipv6Problem);
    EXPECT_EQ(snapshot.verdict, Verdict::good);

    // IPv4 in trouble too: no separate IPv6 warning.
    for (int i = 10; i < 13; ++i) h.core.result(hostA.role, lost, i);
    h.replies(hostA, 20, 13, 15);
    snapshot = h.core.tick(15);
    EXPECT_EQ(snapshot.internet, TargetState::bad(Problems::loss()));
    EXPECT_FALSE(snapshot.ipv6Problem);
}

}  // namespace
}  // namespace nerivane
