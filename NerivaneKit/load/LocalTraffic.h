// What this machine's TCP connections to hosts on one link (reached without
// the router: a NAS, a printer, the router itself) have sent and received,
// from the connections' own counts over socket-diagnostics sockets, opened
// once and owned here. Needs no privileges and captures nothing. Owned by
// LinkCounters, on the probe queue.
//
// Each count dumps the open connections and reads the final counts of those
// that ended since (the kernel announces them), so the end of a copy, or a
// whole short one, between two counts is not missed. Totals only grow.
#pragma once

#include <array>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "NerivaneKit/platform/UniqueFd.h"

namespace nerivane {

class LocalTraffic {
public:
    // A network of the interface: an address family, its bytes and the prefix length.
    struct Prefix {
        int family = 0;
        std::array<std::uint8_t, 16> bytes{};
        int length = 0;
        bool operator==(const Prefix&) const = default;
    };
    // Bytes on the wire (payload and, as an estimate, headers).
    struct Flow {
        std::uint64_t sent = 0;
        std::uint64_t received = 0;
        bool operator==(const Flow&) const = default;
    };

    // Opens the sockets; without them nothing counts as local.
    LocalTraffic();

    // What connections to the networks carried since this object was made,
    // up to now; the first count only learns where the open ones stand.
    Flow count(const std::vector<Prefix>& networks);

    // Whether a peer (family, address bytes in network order) is on one of
    // the networks: IPv6 link-local always, an IPv4-mapped IPv6 peer as its
    // IPv4 address.
    static bool onLink(int family, const std::uint8_t* address, const std::vector<Prefix>& networks);

private:
    // What a buffer of socket-diagnostics messages was of a dump.
    enum class Part { more, last, failed };
    // Calls each(cookie, flow) for every connection to the networks among
    // socket-diagnostics messages.
    template <typename Each>
    static Part eachFlow(const char* buffer, std::size_t size, const std::vector<Prefix>& networks, Each each);
    void add(const Flow& to, const Flow& from);

    UniqueFd diagnostics_;
    // Subscribed to the ends of TCP connections; none where that is refused.
    UniqueFd ended_;
    // Connections to the link, by the kernel's socket cookie, as last counted.
    std::unordered_map<std::uint64_t, Flow> flows_;
    bool counted_ = false;
    Flow total_;
};

}  // namespace nerivane
