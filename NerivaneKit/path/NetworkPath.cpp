#include "NerivaneKit/path/NetworkPath.h"

#include <algorithm>
#include <array>
#include <cctype>

#include "NerivaneKit/path/PathFacts.h"
#include "NerivaneKit/path/StoreSnapshot.h"

namespace nerivane {

bool isVPNInterfaceName(std::string_view name) {
    static constexpr std::array<std::string_view, 7> prefixes{"utun", "ipsec", "ppp", "tun", "tap", "wg", "tailscale"};
    return std::any_of(prefixes.begin(), prefixes.end(),
                       [name](std::string_view prefix) { return name.starts_with(prefix); });
}

std::optional<ProbeAddress> NetworkPath::routerAddressIPv4(const std::optional<std::string>& text) {
    if (!text) return std::nullopt;
    return ProbeAddress::parse(*text);
}

std::optional<ProbeAddress> NetworkPath::routerAddressIPv6(const std::optional<std::string>& text,
                                                           const std::optional<std::string>& scopeInterface) {
    if (!text) return std::nullopt;
    std::string lower = *text;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    // A link-local router means nothing without its interface; the store
    // gives it bare, so the scope comes from the interface it was found on.
    if (scopeInterface && lower.starts_with("fe80:") && text->find('%') == std::string::npos)
        return ProbeAddress::parse(*text + "%" + *scopeInterface);
    return ProbeAddress::parse(*text);
}

NetworkPath NetworkPath::compose(const StoreSnapshot& snapshot, const std::optional<PathFacts>& facts) {
    NetworkPath path;

    // The store side: interfaces, tunnel, address families and routers.
    const std::optional<std::string> interface =
        snapshot.primaryInterface ? snapshot.primaryInterface : snapshot.primaryInterfaceIPv6;
    path.hasIPv4 = snapshot.primaryInterface.has_value();
    path.hasIPv6 = snapshot.hasGlobalIPv6;

    if (interface && !snapshot.isTunnel(*interface)) {
        path.primaryInterface = interface;
        path.physicalInterface = interface;
        path.routerIPv4 = routerAddressIPv4(snapshot.routerIPv4);
        path.routerIPv6 = routerAddressIPv6(
            snapshot.routerIPv6, snapshot.primaryInterfaceIPv6 ? snapshot.primaryInterfaceIPv6 : interface);
    } else if (interface) {
        // Beneath a tunnel, the routers worth probing are those of the first
        // physical service that has one; the global routers belong to the tunnel.
        path.primaryInterface = interface;
        path.isVPN = true;
        for (const auto& service : snapshot.services) {
            if (snapshot.isTunnel(service.interface)) continue;
            if (!service.routerIPv4 && !service.routerIPv6) continue;
            path.physicalInterface = service.interface;
            path.routerIPv4 = routerAddressIPv4(service.routerIPv4);
            path.routerIPv6 = routerAddressIPv6(service.routerIPv6, service.interface);
            break;
        }
    }

    if (!facts) return path;

    // The platform side: usability, cost and the kind of the physical interface.
    path.isSatisfied = facts->isSatisfied && (path.hasIPv4 || path.hasIPv6);
    path.isExpensive = facts->isExpensive;
    path.isConstrained = facts->isConstrained;
    if (path.physicalInterface) {
        auto match = std::find_if(facts->interfaces.begin(), facts->interfaces.end(),
                                  [&](const PathFacts::Interface& candidate) {
                                      return candidate.name == *path.physicalInterface;
                                  });
        if (match != facts->interfaces.end()) {
            switch (match->type) {
                case PathFacts::InterfaceType::wifi: path.kind = Kind::wifi; break;
                case PathFacts::InterfaceType::wiredEthernet: path.kind = Kind::ethernet; break;
                case PathFacts::InterfaceType::cellular: path.kind = Kind::cellular; break;
                case PathFacts::InterfaceType::other: path.kind = Kind::other; break;
            }
        }
    }
    return path;
}

}  // namespace nerivane
