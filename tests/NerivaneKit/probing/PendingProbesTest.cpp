#include <gtest/gtest.h>

#include "NerivaneKit/probing/PendingProbes.h"

namespace nerivane {
namespace {

constexpr std::uint64_t ms = 1'000'000;  // ticks are nanoseconds
constexpr std::uint64_t second = 1000 * ms;
constexpr std::uint64_t start = 1'000 * second;

const ProbeAddress router = ProbeAddress::v4({192, 168, 1, 1});
const ProbeAddress linkLocal = ProbeAddress::v6({0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 2);
using Results = std::vector<ProbeResult>;
const ProbeResult::Outcome lost = ProbeResult::Lost{};

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

TEST(PendingProbes, AReplyMatchesBySequenceTokenAndSourceWithItsScopeOnce) {
    for (const ProbeAddress& host : {router, linkLocal}) {
        SCOPED_TRACE(host.text());
        auto pending = table();
        const auto p = probe(7, start, host);
        pending.record(p);
        const PendingProbes before = pending;
        auto foreign = echoFor(p), unknown = echoFor(p), rewritten = echoFor(p);
        foreign.token ^= 1;  // another program's probe with our sequence
        unknown.sequence = 8;
        rewritten.identifier = 0x9999;  // ping sockets rewrite it: not compared
        ProbeAddress otherScope = host, unscoped = host;
        otherScope.scopeID = 3;
        unscoped.scopeID = 0;
        EXPECT_EQ(pending.match(foreign, host, start + ms), Results{});
        EXPECT_EQ(pending.match(unknown, host, start + ms), Results{});
        EXPECT_EQ(pending.match(echoFor(p), ProbeAddress::v4({192, 168, 1, 2}), start + ms), Results{});
        if (host == linkLocal) {
            EXPECT_EQ(pending.match(echoFor(p), otherScope, start + ms), Results{});
            EXPECT_EQ(pending.match(echoFor(p), unscoped, start + ms), Results{});
        }
        EXPECT_EQ(pending, before);
        EXPECT_EQ(pending.match(rewritten, host, start + 5 * ms), (Results{result(p, ProbeResult::Reply{5.0})}));
        EXPECT_EQ(pending.match(echoFor(p), host, start + 6 * ms), Results{}) << "a duplicate reply";
    }
    // Against the time-out, read before any expiry: after it lost, then
    // late; exactly at it a reply; stamped before the sending, zero.
    const auto p = probe(1);
    const std::pair<std::uint64_t, Results> arrivals[] = {
        {start + 2500 * ms, {result(p, lost), result(p, ProbeResult::Late{2500.0})}},
        {start + 2 * second, {result(p, ProbeResult::Reply{2000.0})}},
        {start - 3 * ms, {result(p, ProbeResult::Reply{0.0})}},
    };
    for (const auto& [arrival, expected] : arrivals) {
        auto pending = table();
        pending.record(p);
        EXPECT_EQ(pending.match(echoFor(p), router, arrival), expected);
        EXPECT_EQ(pending, table()) << "nothing left to expire or match";
    }
}

TEST(PendingProbes, LostProbesTurnLateWithinTheLateWindowOnlyOldestFirst) {
    auto pending = table();
    const auto early = probe(1), later = probe(2, start + 10 * second);
    pending.record(early);
    pending.record(later);
    EXPECT_EQ(pending.expire(start + 2 * second), Results{}) << "not older than the time-out yet";
    EXPECT_EQ(pending.expire(start + 2 * second + 1), (Results{result(early, lost)}));
    EXPECT_EQ(pending.expire(start + 3 * second), Results{}) << "reported once";
    EXPECT_EQ(pending.match(echoFor(early), router, start + 10 * second),
              (Results{result(early, ProbeResult::Late{10'000.0})}));
    EXPECT_EQ(pending.match(echoFor(early), router, start + 11 * second), Results{});
    // `later` is lost at 12 s and kept until 30 s after its sending.
    EXPECT_EQ(pending.expire(start + 13 * second), (Results{result(later, lost)}));
    EXPECT_EQ(pending.expire(start + 40 * second), Results{});
    EXPECT_TRUE(pending.timedOut.contains(2)) << "exactly 30 s old";
    EXPECT_EQ(pending.expire(start + 40 * second + 1), Results{});
    EXPECT_EQ(pending.match(echoFor(later), router, start + 40 * second + 2), Results{}) << "beyond 30 s";

    // A clock behind the send times expires nothing.
    pending.record(probe(3));
    pending.timedOut[4] = probe(4);
    const PendingProbes before = pending;
    EXPECT_EQ(pending.expire(start - 100 * second), Results{});
    EXPECT_EQ(pending, before);

    // Across the sequence wrap, in sending order.
    pending = table();
    const auto a = probe(65534), b = probe(65535, start + 1), c = probe(0, start + 2), d = probe(1, start + 3);
    for (const auto& p : {c, a, d, b}) pending.record(p);
    EXPECT_EQ(pending.expire(start + 10 * second),
              (Results{result(a, lost), result(b, lost), result(c, lost), result(d, lost)}));
}

TEST(PendingProbes, ANewProbeReplacesATimedOutOneWithItsSequenceAndClearForgetsAll) {
    auto pending = table();
    const auto old = probe(5);
    pending.record(old);
    ASSERT_EQ(pending.expire(start + 3 * second).size(), 1u);
    auto fresh = probe(5, start + 4 * second);
    fresh.token = 0x1111;
    pending.record(fresh);
    EXPECT_EQ(pending.match(echoFor(old), router, start + 4 * second + ms), Results{})
        << "the old probe's late reply must not count for the new probe";
    EXPECT_EQ(pending.match(echoFor(fresh), router, start + 4 * second + 2 * ms),
              (Results{result(fresh, ProbeResult::Reply{2.0})}));

    pending.record(probe(1));
    ASSERT_EQ(pending.expire(start + 3 * second).size(), 1u);
    pending.record(probe(2, start + 3 * second));
    pending.clear();
    EXPECT_EQ(pending, table());
}

}  // namespace
}  // namespace nerivane
