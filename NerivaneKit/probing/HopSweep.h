// Finds the hops toward an internet host with a short TTL sweep and picks the
// provider's edge among them: the first hop beyond the router that answers.
// run() blocks for up to a few seconds, so the engine calls it on a thread of
// its own and hands the hops back to its probe queue; providerEdge() is pure.
//
// How the sweep works without privileges (as tracepath does): echo requests on
// a ping socket (UDP datagrams to the traceroute ports when ping sockets are
// refused) with IP_TTL / IPV6_UNICAST_HOPS rising from 1, all from one socket,
// so every probe is one flow and per-flow routing keeps them on one path.
// IP_RECVERR / IPV6_RECVERR queue each ICMP time-exceeded error on the socket;
// its sender (SO_EE_OFFENDER) is the hop, and the bytes it returns carry our
// token, which names the TTL. The destination answers with an echo reply (or,
// for UDP, port unreachable). A hop that did not answer the first round is
// asked once more: routers rate-limit their ICMP errors.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "NerivaneKit/net/ProbeAddress.h"
#include "NerivaneKit/platform/Clocks.h"

namespace nerivane {

class HopSweep {
public:
    struct Hop {
        int ttl = 0;
        // None: nothing answered at this TTL.
        std::optional<ProbeAddress> address;
        std::optional<double> roundTripMilliseconds;
        // The destination itself answered: the sweep ends here.
        bool isDestination = false;
        // The reverse name, where the system's resolver gave one at once.
        std::string name;
        bool operator==(const Hop&) const = default;
    };

    struct Options {
        int maxHops = 8;
        // How long a round waits for its answers.
        Seconds roundTime{1.0};
        int rounds = 2;
        // Reverse names of the answering hops, each given this long.
        bool reverseNames = false;
        Seconds nameTime{0.5};
    };

    // Silent hops after the router that the edge may lie beyond; more, and
    // the path is not one we can tell apart.
    static constexpr int maxSkippedHops = 3;

    // The hops toward destination from TTL 1 to the destination or
    // maxHops, whichever comes first; empty when no socket can be opened.
    static std::vector<Hop> run(const ProbeAddress& destination, const Options& options);

    // The provider's edge: the first answering hop after the router (the hop
    // that is the router's address, else TTL 1), skipping up to
    // maxSkippedHops silent ones (a hop that rate-limits or drops its own
    // answers while later hops answer is no fault). None when the destination
    // comes first, or no hop beyond the router answers.
    static std::optional<Hop> providerEdge(const std::vector<Hop>& hops, const std::optional<ProbeAddress>& router);
};

}  // namespace nerivane
