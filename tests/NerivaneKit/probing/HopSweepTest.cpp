#include <gtest/gtest.h>

#include "NerivaneKit/probing/HopSweep.h"

namespace nerivane {
namespace {

using Hop = HopSweep::Hop;

ProbeAddress at(const char* literal) { return ProbeAddress::parse(literal).value(); }
Hop answered(int ttl, const char* address) { return {ttl, at(address), 1.0, false, {}}; }
Hop silent(int ttl) { return {ttl, std::nullopt, std::nullopt, false, {}}; }
Hop destination(int ttl) { return {ttl, at("1.1.1.1"), 5.0, true, {}}; }

// Rows of sweep results as a rate-limiting, silent or tunnelled path gives
// them; the edge is the first answering hop after the router, or none.
TEST(HopSweep, EdgeIsTheFirstAnsweringHopBeyondTheRouterWithinAFewSilentOnes) {
    const auto router = at("192.168.1.1");
    const struct {
        std::vector<Hop> hops;
        std::optional<ProbeAddress> router;
        std::optional<const char*> edge;
    } rows[] = {
        {{answered(1, "192.168.1.1"), answered(2, "100.64.0.1"), destination(3)}, router, "100.64.0.1"},
        // A router silent to expired probes is still hop 1.
        {{silent(1), answered(2, "100.64.0.1"), destination(3)}, router, "100.64.0.1"},
        // A hop that rate-limits its errors is skipped for the next that answers.
        {{answered(1, "192.168.1.1"), silent(2), silent(3), answered(4, "10.20.0.1"), destination(5)}, router, "10.20.0.1"},
        {{answered(1, "192.168.1.1"), silent(2), silent(3), silent(4), answered(5, "10.20.0.1")}, router, "10.20.0.1"},
        {{answered(1, "192.168.1.1"), silent(2), silent(3), silent(4), silent(5), answered(6, "10.20.0.1")}, router,
         std::nullopt},
        // A double NAT: the router is the second hop; the edge lies beyond it.
        {{answered(1, "192.168.0.1"), answered(2, "192.168.1.1"), answered(3, "100.64.0.1")}, router, "100.64.0.1"},
        // The router answering twice is not its own provider.
        {{answered(1, "192.168.1.1"), answered(2, "192.168.1.1"), answered(3, "100.64.0.1")}, router, "100.64.0.1"},
        // Nothing between router and destination (a tunnel, the lab's VPN): no tier.
        {{answered(1, "192.168.1.1"), destination(2)}, router, std::nullopt},
        {{destination(1)}, router, std::nullopt},
        {{answered(1, "192.168.1.1"), silent(2), destination(3)}, router, std::nullopt},
        {{answered(1, "10.8.0.1"), answered(2, "100.64.0.1")}, std::nullopt, "100.64.0.1"},
        {{}, router, std::nullopt},
    };
    for (const auto& row : rows) {
        const auto edge = HopSweep::providerEdge(row.hops, row.router);
        ASSERT_EQ(edge.has_value(), row.edge.has_value()) << "row " << (&row - rows);
        if (edge) {
            EXPECT_EQ(edge->address, at(*row.edge)) << "row " << (&row - rows);
        }
    }
}

// A real sweep, to loopback only: the destination answers at the first TTL,
// by echo reply on a ping socket or port unreachable on the UDP fallback.
TEST(HopSweep, LoopbackIsReachedAtTheFirstHop) {
    HopSweep::Options options;
    options.maxHops = 3;
    options.rounds = 1;
    const auto hops = HopSweep::run(at("127.0.0.1"), options);
    ASSERT_EQ(hops.size(), 1u);
    EXPECT_TRUE(hops[0].isDestination);
    EXPECT_EQ(hops[0].address, at("127.0.0.1"));
    EXPECT_LT(hops[0].roundTripMilliseconds.value_or(1e9), 1000.0);
}

}  // namespace
}  // namespace nerivane
