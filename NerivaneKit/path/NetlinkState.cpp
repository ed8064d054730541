#include "NerivaneKit/path/NetlinkState.h"

#include <linux/if_addr.h>
#include <net/if_arp.h>
#include <linux/rtnetlink.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <system_error>
#include <tuple>

namespace nerivane {

namespace {

// Not in every libc's <net/if_arp.h>; the kernel's value.
constexpr unsigned linkTypeIP6GRE = 823;

bool isMainUnicast(const NetlinkState::Route& route) {
    return route.table == RT_TABLE_MAIN && route.type == RTN_UNICAST;
}

}  // namespace

const NetlinkState::Link* NetlinkState::link(int index) const {
    auto found = std::find_if(links.begin(), links.end(), [index](const Link& l) { return l.index == index; });
    return found == links.end() ? nullptr : &*found;
}

bool NetlinkState::isUsable(const NextHop& hop, IPFamily family) const {
    const Link* out = link(hop.interfaceIndex);
    if (out == nullptr || !out->isUp || !out->isRunning) return false;
    if (hop.flags & (RTNH_F_LINKDOWN | RTNH_F_DEAD)) return false;
    return std::any_of(addresses.begin(), addresses.end(), [&](const Address& address) {
        return address.interfaceIndex == hop.interfaceIndex && address.family == family &&
               address.scope == RT_SCOPE_UNIVERSE && !(address.flags & (IFA_F_TENTATIVE | IFA_F_DADFAILED));
    });
}

std::optional<NetlinkState::Choice> NetlinkState::defaultRoute(IPFamily family) const {
    std::optional<Choice> best;
    std::uint32_t bestMetric = 0;
    for (const auto& route : routes) {
        if (!isMainUnicast(route) || route.family != family || route.prefixLength != 0) continue;
        if (best && route.metric >= bestMetric) continue;
        for (const auto& hop : route.nextHops) {
            if (!isUsable(hop, family)) continue;
            best = Choice{link(hop.interfaceIndex), hop.gateway};
            bestMetric = route.metric;
            break;
        }
    }
    return best;
}

std::optional<NetlinkState::Choice> NetlinkState::primaryRoute(IPFamily family) const {
    for (const auto& lookup : lookups) {
        if (lookup.family == family && isUsable(lookup.nextHop, family))
            return Choice{link(lookup.nextHop.interfaceIndex), lookup.nextHop.gateway};
    }
    return defaultRoute(family);
}

StoreSnapshot NetlinkState::snapshot() const {
    StoreSnapshot snapshot;
    if (auto v4 = primaryRoute(IPFamily::v4)) {
        snapshot.primaryInterface = v4->link->name;
        snapshot.routerIPv4 = v4->gateway;
    }
    if (auto v6 = primaryRoute(IPFamily::v6)) {
        snapshot.hasGlobalIPv6 = true;
        snapshot.primaryInterfaceIPv6 = v6->link->name;
        snapshot.routerIPv6 = v6->gateway;
    }

    // One service per interface with a gateway of its own.
    struct Candidate {
        std::uint32_t order = UINT32_MAX;
        // (not default, metric) of the gateway kept for each family.
        std::optional<std::tuple<bool, std::uint32_t>> rankIPv4, rankIPv6;
        StoreSnapshot::Service service;
    };
    std::map<int, Candidate> candidates;
    for (const auto& route : routes) {
        if (!isMainUnicast(route)) continue;
        for (const auto& hop : route.nextHops) {
            if (!hop.gateway || !isUsable(hop, route.family)) continue;
            auto& candidate = candidates[hop.interfaceIndex];
            candidate.service.interface = link(hop.interfaceIndex)->name;
            candidate.order = std::min(candidate.order, route.metric);
            const std::tuple<bool, std::uint32_t> rank{route.prefixLength != 0, route.metric};
            auto& kept = route.family == IPFamily::v4 ? candidate.rankIPv4 : candidate.rankIPv6;
            auto& router = route.family == IPFamily::v4 ? candidate.service.routerIPv4 : candidate.service.routerIPv6;
            if (!kept || rank < *kept) {
                kept = rank;
                router = hop.gateway;
            }
        }
    }
    std::vector<std::pair<std::tuple<std::uint32_t, int>, StoreSnapshot::Service>> ordered;
    for (auto& [index, candidate] : candidates)
        ordered.push_back({{candidate.order, index}, std::move(candidate.service)});
    std::sort(ordered.begin(), ordered.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& entry : ordered) snapshot.services.push_back(std::move(entry.second));

    for (const auto& l : links)
        if (isTunnelLink(l)) snapshot.tunnelInterfaces.push_back(l.name);
    return snapshot;
}

PathFacts NetlinkState::facts(bool isExpensive) const {
    PathFacts facts;
    facts.isExpensive = isExpensive;
    facts.isConstrained = false;  // Linux has no low-data mode
    facts.isSatisfied = primaryRoute(IPFamily::v4).has_value() || primaryRoute(IPFamily::v6).has_value();
    std::vector<const Link*> available;
    for (const auto& l : links)
        if (l.isUp && l.isRunning && l.linkType != ARPHRD_LOOPBACK) available.push_back(&l);
    std::sort(available.begin(), available.end(), [](const Link* a, const Link* b) { return a->index < b->index; });
    for (const Link* l : available) facts.interfaces.push_back({l->name, interfaceType(*l)});
    return facts;
}

PathFacts::InterfaceType NetlinkState::interfaceType(const Link& link) {
    if (link.isWireless || link.deviceType == "wlan") return PathFacts::InterfaceType::wifi;
    if (link.deviceType == "wwan") return PathFacts::InterfaceType::cellular;
    if (link.linkType == ARPHRD_ETHER) return PathFacts::InterfaceType::wiredEthernet;
    return PathFacts::InterfaceType::other;
}

bool NetlinkState::isTunnelLink(const Link& link) {
    if (link.deviceType == "wwan") return false;
    switch (link.linkType) {
        case ARPHRD_NONE:  // tun, WireGuard, xfrm
        case ARPHRD_PPP:
        case ARPHRD_TUNNEL:
        case ARPHRD_TUNNEL6:
        case ARPHRD_SIT:
        case ARPHRD_IPGRE:
            return true;
        default:
            return link.linkType == linkTypeIP6GRE;
    }
}

void NetlinkState::readDeviceFacts(Link& link, const std::filesystem::path& sysfsNet) {
    link.deviceType.clear();
    link.isWireless = false;
    if (link.name.empty() || link.name.find('/') != std::string::npos) return;
    const auto device = sysfsNet / link.name;
    std::error_code error;
    link.isWireless = std::filesystem::exists(device / "wireless", error) ||
                      std::filesystem::exists(device / "phy80211", error);
    std::ifstream uevent(device / "uevent");
    std::string line;
    while (std::getline(uevent, line)) {
        if (line.starts_with("DEVTYPE=")) {
            link.deviceType = line.substr(8);
            break;
        }
    }
}

}  // namespace nerivane
