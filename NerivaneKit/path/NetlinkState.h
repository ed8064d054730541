// The links, addresses and main-table routes that rtnetlink reports, copied
// into plain values, and the rules that turn them into a StoreSnapshot and
// PathFacts. NetlinkPathSource fills it on the path monitor's queue; the
// rules are pure so they can be tried on any table.
//
// Rules, in short:
//  - A next hop is usable when its link is up and running, the kernel has not
//    marked it link-down or dead, and the link holds a usable address of the
//    route's family (IPv4 of global scope; IPv6 of global scope that is
//    neither tentative nor failed duplicate detection).
//  - The primary interface of a family is the first usable next hop of the
//    default unicast route of the main table with the lowest metric; its
//    gateway is the router. An IPv6 primary is the "global IPv6 state".
//  - Every interface with a usable gateway in any main-table unicast route is
//    a service; per family the gateway of its default route wins, then that
//    of its lowest-metric route. Services are ordered by their lowest metric,
//    then by interface index.
//  - Links whose type is a point-to-point tunnel (no link-layer header, PPP,
//    IP-in-IP, SIT, GRE) are tunnels, except modems that say they are WWAN
//    devices (raw-IP cellular links also lack a link-layer header).
//  - Policy routing (wg-quick's full tunnel, Tailscale's exit node) puts the
//    default route that traffic really takes in a table of its own, selected
//    by rules. So the kernel is asked for its route to an internet address
//    of each family (a lookup: no packet is sent). When its answer is a
//    usable next hop, that interface is the family's primary interface and
//    its gateway the router; the routers beneath a tunnel still come from
//    the services, which are read from the main table as before.
//  - Satisfied: some usable default route exists in either family, or a
//    usable answer to a lookup.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "NerivaneKit/path/PathFacts.h"
#include "NerivaneKit/path/StoreSnapshot.h"
#include "NerivaneKit/net/IPFamily.h"

namespace nerivane {

struct NetlinkState {
    struct Link {
        int index = 0;
        std::string name;
        bool isUp = false;       // IFF_UP: administratively up
        bool isRunning = false;  // IFF_RUNNING: operationally up
        unsigned linkType = 0;   // ARPHRD_*
        // From sysfs: the uevent DEVTYPE ("wlan", "wwan", ...) and whether the
        // device has wireless extensions or a cfg80211 phy.
        std::string deviceType;
        bool isWireless = false;

        bool operator==(const Link&) const = default;
    };

    struct Address {
        int interfaceIndex = 0;
        IPFamily family = IPFamily::v4;
        std::uint8_t scope = 0;  // RT_SCOPE_*
        std::uint32_t flags = 0; // IFA_F_*

        bool operator==(const Address&) const = default;
    };

    struct NextHop {
        int interfaceIndex = 0;
        std::optional<std::string> gateway;
        std::uint32_t flags = 0;  // RTNH_F_*

        bool operator==(const NextHop&) const = default;
    };

    struct Route {
        IPFamily family = IPFamily::v4;
        std::uint32_t table = 0;     // RT_TABLE_*
        std::uint8_t type = 0;       // RTN_*
        std::uint8_t prefixLength = 0;
        std::uint32_t metric = 0;
        std::vector<NextHop> nextHops;

        bool operator==(const Route&) const = default;
    };

    // The kernel's answer to "which route takes a packet to this internet
    // address", rules applied.
    struct Lookup {
        IPFamily family = IPFamily::v4;
        NextHop nextHop;

        bool operator==(const Lookup&) const = default;
    };

    std::vector<Link> links;
    std::vector<Address> addresses;
    std::vector<Route> routes;
    // At most one per family; none where the kernel has no route.
    std::vector<Lookup> lookups;

    bool operator==(const NetlinkState&) const = default;

    StoreSnapshot snapshot() const;
    // Expense comes from elsewhere (NetworkManager); constrained is always false.
    PathFacts facts(bool isExpensive) const;

    static PathFacts::InterfaceType interfaceType(const Link& link);
    static bool isTunnelLink(const Link& link);
    // Fills deviceType and isWireless from a sysfs net class directory
    // (normally /sys/class/net); a missing entry leaves them empty and false.
    static void readDeviceFacts(Link& link, const std::filesystem::path& sysfsNet);

private:
    const Link* link(int index) const;
    bool isUsable(const NextHop& hop, IPFamily family) const;
    struct Choice {
        const Link* link = nullptr;
        std::optional<std::string> gateway;
    };
    std::optional<Choice> defaultRoute(IPFamily family) const;
    // The usable answer of a lookup in the family, else the main table's default route.
    std::optional<Choice> primaryRoute(IPFamily family) const;
};

}  // namespace nerivane
