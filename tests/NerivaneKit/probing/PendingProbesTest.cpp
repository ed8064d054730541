#include <gtest/gtest.h>

#include "NerivaneKit/probing/PendingProbes.h"

namespace nerivane {
namespace {

using std::chrono::nanoseconds;
constexpr nanoseconds ms = std::chrono::milliseconds(1);
constexpr nanoseconds second = 1000 * ms;
constexpr Ticks start{1'000 * second};

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
PendingProbes::Probe probe(std::uint16_t sequence, Ticks sentAt = start, ProbeAddress address = router) {
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
        EXPECT_EQ(pending.match(rewritten, host, start + 5 * ms), (Results{result(p, ProbeResult::Reply{5.0})}));
        EXPECT_EQ(pending.match(echoFor(p), host, start + 6 * ms), Results{}) << "a duplicate reply";
    }
    // Against the time-out, read before any expiry: after it lost, then
    // late; exactly at it a reply; stamped before the sending, zero.
    const auto p = probe(1);
    const std::pair<Ticks, Results> arrivals[] = {
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

TEST(PendingProbes, LostProbesExpireOldestFirstAndTurnLateWithinTheLateWindow) {
    // Sent across the sequence wrap; expired only once older than the
    // time-out, and reported in sending order.
    auto pending = table();
    const auto a = probe(65535), b = probe(0, start + nanoseconds(1));
    pending.record(b);
    pending.record(a);
    EXPECT_EQ(pending.expire(start + 2 * second), Results{});
    EXPECT_EQ(pending.expire(start + 2 * second + nanoseconds(2)), (Results{result(a, lost), result(b, lost)}));
    // Kept until 30 s after their sending: late then, gone after.
    EXPECT_EQ(pending.expire(start + 30 * second), Results{});
    EXPECT_EQ(pending.match(echoFor(a), router, start + 30 * second), (Results{result(a, ProbeResult::Late{30'000.0})}));
    EXPECT_EQ(pending.expire(start + 30 * second + nanoseconds(2)), Results{});
    EXPECT_EQ(pending.match(echoFor(b), router, start + 30 * second + nanoseconds(3)), Results{});
}

}  // namespace
}  // namespace nerivane
