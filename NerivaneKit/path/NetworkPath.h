// The machine's current network path: whether it is usable, which interface
// carries traffic (and the physical one beneath a VPN), the address families
// and the routers to probe. A plain value; the path monitor reports it.
#pragma once

#include <optional>
#include <string>

#include "NerivaneKit/probing/ProbeAddress.h"

namespace nerivane {

struct NetworkPath {
    enum class Kind { wifi, ethernet, cellular, other };

    bool isSatisfied = false;
    std::optional<std::string> primaryInterface;
    std::optional<std::string> physicalInterface;
    Kind kind = Kind::other;
    bool isVPN = false;
    bool hasIPv4 = false;
    bool hasIPv6 = false;
    std::optional<ProbeAddress> routerIPv4;
    // A link-local router carries its interface's index as scopeID.
    std::optional<ProbeAddress> routerIPv6;
    bool isExpensive = false;
    bool isConstrained = false;

    bool operator==(const NetworkPath&) const = default;

    // Unsatisfied, no interfaces, kind other, no routers, every flag false.
    static NetworkPath empty() { return NetworkPath{}; }
};

}  // namespace nerivane
