// The machine's current network path: whether it is usable, which interface
// carries traffic (and the physical one beneath a VPN), the address families
// and the routers to probe. A plain value; the path monitor reports it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "NerivaneKit/net/ProbeAddress.h"

namespace nerivane {

struct PathFacts;
struct StoreSnapshot;

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

    // The path the snapshot and the facts describe. Without facts (before the
    // source's first delivery) the path is never satisfied.
    static NetworkPath compose(const StoreSnapshot& snapshot, const std::optional<PathFacts>& facts);

    // Router texts as addresses: none when the text does not parse. A
    // link-local IPv6 text without a scope is scoped to the given interface.
    static std::optional<ProbeAddress> routerAddressIPv4(const std::optional<std::string>& text);
    static std::optional<ProbeAddress> routerAddressIPv6(const std::optional<std::string>& text,
                                                         const std::optional<std::string>& scopeInterface);
};

// The case name ("wifi", "ethernet", "cellular", "other"), for reports, readouts and metrics.
constexpr std::string_view text(NetworkPath::Kind kind) {
    switch (kind) {
    case NetworkPath::Kind::wifi: return "wifi";
    case NetworkPath::Kind::ethernet: return "ethernet";
    case NetworkPath::Kind::cellular: return "cellular";
    case NetworkPath::Kind::other: return "other";
    }
    return "";
}

// A tunnel interface by its name: utun, ipsec, ppp, tun and tap as on other
// desktops, plus WireGuard (wg) and Tailscale. Case-sensitive prefix test.
bool isVPNInterfaceName(std::string_view name);

}  // namespace nerivane
