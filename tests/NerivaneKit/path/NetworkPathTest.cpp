#include <gtest/gtest.h>
#include <net/if.h>

#include "NerivaneKit/path/NetworkPath.h"
#include "NerivaneKit/path/PathFacts.h"
#include "NerivaneKit/path/StoreSnapshot.h"

// Whole expected paths are written with designated initializers: the members
// left out are meant to keep their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace nerivane {
namespace {

using Type = PathFacts::InterfaceType;
using K = NetworkPath::Kind;

// Scoped addresses need an interface that exists; every namespace has lo.
ProbeAddress a(const std::string& text) { return *ProbeAddress::parse(text); }
PathFacts satisfied(std::vector<PathFacts::Interface> interfaces = {}) {
    return PathFacts{.isSatisfied = true, .interfaces = std::move(interfaces)};
}

TEST(NetworkPath, Compose) {
    const StoreSnapshot en0{.primaryInterface = "en0", .routerIPv4 = "192.168.1.1"};
    const StoreSnapshot corp{.primaryInterface = "corpvpn", .services = {{"corpvpn", "172.16.0.1"}, {"eth0", "10.77.0.1"}}};
    StoreSnapshot corpTunnel = corp;
    corpTunnel.tunnelInterfaces = {"corpvpn"};
    const struct {
        const char* name;
        StoreSnapshot snapshot;
        std::optional<PathFacts> facts;
        NetworkPath expected;
    } cases[] = {
        {"plain interface with router", en0, satisfied({{"en0", Type::wifi}}),
         {.isSatisfied = true, .primaryInterface = "en0", .physicalInterface = "en0", .kind = K::wifi, .hasIPv4 = true,
          .routerIPv4 = a("192.168.1.1")}},
        // The tunnel's own router is never probed; the first physical service with a router is.
        {"tunnel over a physical service",
         {.primaryInterface = "utun4", .routerIPv4 = "10.8.0.1", .services = {{"utun4"}, {"en1"}, {"en0", "10.0.0.1"}, {"en2", "10.1.0.1"}}},
         satisfied({{"utun4", Type::other}, {"en0", Type::wiredEthernet}, {"en2", Type::wifi}}),
         {.isSatisfied = true, .primaryInterface = "utun4", .physicalInterface = "en0", .kind = K::ethernet, .isVPN = true,
          .hasIPv4 = true, .routerIPv4 = a("10.0.0.1")}},
        {"tunnel router IPv6 scoped to its service", {.primaryInterface = "wg0", .services = {{"wg0", "10.9.0.1"}, {"lo", {}, "fe80::1"}}},
         std::nullopt, {.primaryInterface = "wg0", .physicalInterface = "lo", .isVPN = true, .hasIPv4 = true, .routerIPv6 = a("fe80::1%lo")}},
        {"tunnel by link type", corpTunnel, std::nullopt,
         {.primaryInterface = "corpvpn", .physicalInterface = "eth0", .isVPN = true, .hasIPv4 = true, .routerIPv4 = a("10.77.0.1")}},
        {"same name, no tunnel link", corp, std::nullopt, {.primaryInterface = "corpvpn", .physicalInterface = "corpvpn", .hasIPv4 = true}},
        // A link-local router gets an interface as its scope: the IPv6 primary's, else the IPv4 one's.
        {"link-local router, IPv6 primary", {.primaryInterface = "en0", .hasGlobalIPv6 = true, .primaryInterfaceIPv6 = "lo", .routerIPv6 = "FE80::1"},
         std::nullopt, {.primaryInterface = "en0", .physicalInterface = "en0", .hasIPv4 = true, .hasIPv6 = true, .routerIPv6 = a("fe80::1%lo")}},
        {"IPv6 only, link-local router", {.hasGlobalIPv6 = true, .primaryInterfaceIPv6 = "lo", .routerIPv6 = "fe80::1"}, std::nullopt,
         {.primaryInterface = "lo", .physicalInterface = "lo", .hasIPv6 = true, .routerIPv6 = a("fe80::1%lo")}},
        // An unparseable router is no router; the rest of the path stands.
        {"bad IPv4 router", {.primaryInterface = "en0", .routerIPv4 = "192.168.1.300", .hasGlobalIPv6 = true, .routerIPv6 = "2001:db8::1"},
         satisfied(), {.isSatisfied = true, .primaryInterface = "en0", .physicalInterface = "en0", .hasIPv4 = true, .hasIPv6 = true,
                       .routerIPv6 = a("2001:db8::1")}},
        {"expensive and constrained cellular", en0, PathFacts{true, true, true, {{"en0", Type::cellular}}},
         {.isSatisfied = true, .primaryInterface = "en0", .physicalInterface = "en0", .kind = K::cellular, .hasIPv4 = true,
          .routerIPv4 = a("192.168.1.1"), .isExpensive = true, .isConstrained = true}},
        {"satisfied without an address family", {}, satisfied(), NetworkPath::empty()},
        // A router without a primary interface counts for nothing.
        {"no interface", {.routerIPv4 = "192.168.1.1", .services = {{"en0", "192.168.1.1"}}}, PathFacts{true, true, false, {}}, {.isExpensive = true}},
        // The kind is that of the physical interface's first entry, other when it has none.
        {"first entry of the interface", {.primaryInterface = "en0"}, satisfied({{"en1", Type::wifi}, {"en0", Type::other}, {"en0", Type::wifi}}),
         {.isSatisfied = true, .primaryInterface = "en0", .physicalInterface = "en0", .hasIPv4 = true}},
    };
    for (const auto& c : cases) EXPECT_TRUE(NetworkPath::compose(c.snapshot, c.facts) == c.expected) << c.name;
    EXPECT_EQ(a("fe80::1%lo").scopeID, if_nametoindex("lo"));
    EXPECT_EQ(NetworkPath::routerAddressIPv6("fe80::1%lo", "en7"), a("fe80::1%lo")) << "a text with a scope keeps it";
    EXPECT_EQ(NetworkPath::routerAddressIPv6("2001:db8::1", "lo")->scopeID, 0u);
    EXPECT_EQ(NetworkPath::routerAddressIPv6("fe80::1", "no-such-interface"), std::nullopt);
}

}  // namespace
}  // namespace nerivane
