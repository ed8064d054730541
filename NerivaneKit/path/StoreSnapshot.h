// A copy of what the system's network configuration says about the primary
// interfaces, their routers and the per-interface services. A plain value:
// a path source reads it, NetworkPath::compose turns it into a NetworkPath.
// Router addresses stay text here; they become addresses only when composed.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace nerivane {

struct StoreSnapshot {
    // One configured interface that has a router of its own.
    struct Service {
        std::string interface;
        std::optional<std::string> routerIPv4;
        std::optional<std::string> routerIPv6;

        bool operator==(const Service&) const = default;
    };

    // Interface of the global IPv4 state (the IPv4 default route).
    std::optional<std::string> primaryInterface;
    std::optional<std::string> routerIPv4;
    // The global IPv6 state exists (there is an IPv6 default route).
    bool hasGlobalIPv6 = false;
    std::optional<std::string> primaryInterfaceIPv6;
    std::optional<std::string> routerIPv6;
    // Most preferred first.
    std::vector<Service> services;
    // Interfaces the source knows to be point-to-point tunnels from their link
    // type, whatever their names; compose treats them like tunnel names. Empty
    // when the source can only go by names.
    std::vector<std::string> tunnelInterfaces;

    bool operator==(const StoreSnapshot&) const = default;

    // A tunnel by its name or by what the source knows of its link.
    bool isTunnel(const std::string& interface) const;
};

}  // namespace nerivane
