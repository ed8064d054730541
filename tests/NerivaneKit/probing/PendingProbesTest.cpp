#include <gtest/gtest.h>

#include "NerivaneKit/probing/PendingProbes.h"

namespace nerivane {
namespace {

constexpr std::uint64_t ms = 1'000'000;  // ticks are nanoseconds
constexpr std::uint64_t second = 1000 * ms;
constexpr std::uint64_t start = 1'000 * second;

const ProbeAddress router = ProbeAddress::v4({192, 168, 1, 1});
const ProbeAddress linkLocal = ProbeAddress::v6({0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 2);

PendingProbes table() {
    PendingProbes pending;
    pending.timeout = 2 * second;
    pending.lateWindow = 30 * second;
    return pending;
}

PendingProbes::Probe probe(std::uint16_t sequence, std::uint64_t sentAt = start, ProbeAddress address = router) {
    return {address, sequence, 0xabc0'0000'0000'0000ull + sequence, sentAt};
}

ICMPPacket::Echo echoFor(const PendingProbes::Probe& probe) { return {0x4242, probe.sequence, probe.token}; }

ProbeResult result(const PendingProbes::Probe& probe, ProbeResult::Outcome outcome) {
    return {probe.address, probe.sequence, probe.sentAt, outcome};
}

using Results = std::vector<ProbeResult>;

TEST(PendingProbesMatch, AReplyMatchesBySequenceTokenAndSourceWithItsScope) {
    for (const ProbeAddress& host : {router, linkLocal}) {
        SCOPED_TRACE(host.text());
        auto pending = table();
        const auto p = probe(7, start, host);
        pending.record(p);
        const PendingProbes before = pending;

        auto foreign = echoFor(p);
        foreign.token ^= 1;  // another program's probe with our sequence
        auto unknown = echoFor(p);
        unknown.sequence = 8;
        ProbeAddress otherScope = host;
        otherScope.scopeID = 3;
        ProbeAddress unscoped = host;
        unscoped.scopeID = 0;
        EXPECT_EQ(pending.match(foreign, host, start + 1 * ms), Results{});
        EXPECT_EQ(pending.match(unknown, host, start + 1 * ms), Results{});
        EXPECT_EQ(pending.match(echoFor(p), ProbeAddress::v4({192, 168, 1, 2}), start + 1 * ms), Results{});
        if (host == linkLocal) {
            EXPECT_EQ(pending.match(echoFor(p), otherScope, start + 1 * ms), Results{});
            EXPECT_EQ(pending.match(echoFor(p), unscoped, start + 1 * ms), Results{});
        }
        EXPECT_EQ(pending, before);

        // Ping sockets rewrite the identifier: it is not compared.
        auto rewritten = echoFor(p);
        rewritten.identifier = 0x9999;
        EXPECT_EQ(pending.match(rewritten, host, start + 5 * ms), (Results{result(p, ProbeResult::Reply{5.0})}));
        EXPECT_TRUE(pending.inFlight.empty());
        EXPECT_EQ(pending.match(echoFor(p), host, start + 6 * ms), Results{}) << "a duplicate reply";
    }
}

TEST(PendingProbesMatch, TimesAgainstTheTimeOut) {
    const auto p = probe(1);
    const auto matched = [&](std::uint64_t arrival) {
        auto pending = table();
        pending.record(p);
        const Results results = pending.match(echoFor(p), router, arrival);
        EXPECT_EQ(pending, table()) << "nothing left to expire or match";
        return results;
    };
    // After the time-out, read before any expiry: lost, then late.
    EXPECT_EQ(matched(start + 2500 * ms), (Results{result(p, ProbeResult::Lost{}), result(p, ProbeResult::Late{2500.0})}));
    // Exactly at the time-out it is still a reply.
    EXPECT_EQ(matched(start + 2 * second), (Results{result(p, ProbeResult::Reply{2000.0})}));
    // An arrival stamped before the sending counts as zero.
    EXPECT_EQ(matched(start - 3 * ms), (Results{result(p, ProbeResult::Reply{0.0})}));
}

TEST(PendingProbesExpire, LostProbesTurnLateWithinTheLateWindowOnly) {
    auto pending = table();
    const auto early = probe(1);
    const auto later = probe(2, start + 10 * second);
    pending.record(early);
    pending.record(later);

    EXPECT_EQ(pending.expire(start + 2 * second), Results{}) << "not older than the time-out yet";
    EXPECT_EQ(pending.expire(start + 2 * second + 1), (Results{result(early, ProbeResult::Lost{})}));
    EXPECT_EQ(pending.expire(start + 3 * second), Results{}) << "reported once";
    EXPECT_TRUE(pending.timedOut.contains(1));
    EXPECT_TRUE(pending.inFlight.contains(2));

    EXPECT_EQ(pending.match(echoFor(early), router, start + 10 * second),
              (Results{result(early, ProbeResult::Late{10'000.0})}));
    EXPECT_EQ(pending.match(echoFor(early), router, start + 11 * second), Results{});

    // `later` is lost at 12 s and kept until 30 s after its sending.
    EXPECT_EQ(pending.expire(start + 13 * second), (Results{result(later, ProbeResult::Lost{})}));
    EXPECT_EQ(pending.expire(start + 40 * second), Results{});
    EXPECT_TRUE(pending.timedOut.contains(2)) << "exactly 30 s old";
    EXPECT_EQ(pending.expire(start + 40 * second + 1), Results{});
    EXPECT_TRUE(pending.timedOut.empty());
    EXPECT_EQ(pending.match(echoFor(later), router, start + 40 * second + 2), Results{}) << "beyond 30 s";

    // A clock behind the send times expires nothing.
    pending.record(probe(3));
    pending.timedOut[4] = probe(4);
    const PendingProbes before = pending;
    EXPECT_EQ(pending.expire(start - 100 * second), Results{});
    EXPECT_EQ(pending, before);
}

TEST(PendingProbesExpire, ReportsOldestFirstAcrossTheSequenceWrap) {
    auto pending = table();
    const auto a = probe(65534, start);
    const auto b = probe(65535, start + 1 * ms);
    const auto c = probe(0, start + 2 * ms);
    const auto d = probe(1, start + 3 * ms);
    for (const auto& p : {c, a, d, b}) pending.record(p);
    EXPECT_EQ(pending.expire(start + 10 * second),
              (Results{result(a, ProbeResult::Lost{}), result(b, ProbeResult::Lost{}), result(c, ProbeResult::Lost{}),
                       result(d, ProbeResult::Lost{})}));
    EXPECT_TRUE(pending.inFlight.empty());
    EXPECT_EQ(pending.timedOut.size(), 4u);
}

TEST(PendingProbes, ANewProbeReplacesATimedOutOneWithItsSequenceAndClearForgetsAll) {
    auto pending = table();
    const auto old = probe(5);
    pending.record(old);
    ASSERT_EQ(pending.expire(start + 3 * second).size(), 1u);

    auto fresh = probe(5, start + 4 * second);
    fresh.token = 0x1111;
    pending.record(fresh);
    EXPECT_FALSE(pending.timedOut.contains(5));
    EXPECT_EQ(pending.match(echoFor(old), router, start + 4 * second + 1 * ms), Results{})
        << "the old probe's late reply must not count for the new probe";
    EXPECT_EQ(pending.match(echoFor(fresh), router, start + 4 * second + 2 * ms),
              (Results{result(fresh, ProbeResult::Reply{2.0})}));

    // Clearing forgets timed-out and waiting probes without a result.
    pending.record(probe(1));
    ASSERT_EQ(pending.expire(start + 3 * second).size(), 1u);
    const auto waiting = probe(2, start + 3 * second);
    pending.record(waiting);
    pending.clear();
    EXPECT_EQ(pending, table());
    EXPECT_EQ(pending.match(echoFor(probe(1)), router, start + 4 * second), Results{});
    EXPECT_EQ(pending.match(echoFor(waiting), router, start + 4 * second), Results{});
    EXPECT_EQ(pending.expire(start + 10 * second), Results{});
}

}  // namespace
}  // namespace nerivane
