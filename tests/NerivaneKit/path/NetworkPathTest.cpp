#include <gtest/gtest.h>
#include <net/if.h>

#include "NerivaneKit/path/NetworkPath.h"
#include "NerivaneKit/path/PathFacts.h"
#include "NerivaneKit/path/StoreSnapshot.h"

namespace nerivane {
namespace {

using Type = PathFacts::InterfaceType;

// Scoped addresses need an interface that exists; every namespace has lo.
const std::uint32_t loIndex = if_nametoindex("lo");

ProbeAddress address(const std::string& text) { return *ProbeAddress::parse(text); }

PathFacts satisfied(std::vector<PathFacts::Interface> interfaces = {}) {
    PathFacts facts;
    facts.isSatisfied = true;
    facts.interfaces = std::move(interfaces);
    return facts;
}

TEST(NetworkPathCompose, PlainInterfaceWithRouter) {
    StoreSnapshot snapshot;
    snapshot.primaryInterface = "en0";
    snapshot.routerIPv4 = "192.168.1.1";
    const auto path = NetworkPath::compose(snapshot, satisfied({{"en0", Type::wifi}}));
    EXPECT_TRUE(path.isSatisfied);
    EXPECT_FALSE(path.isVPN);
    EXPECT_EQ(path.primaryInterface, "en0");
    EXPECT_EQ(path.physicalInterface, "en0");
    EXPECT_EQ(path.kind, NetworkPath::Kind::wifi);
    EXPECT_TRUE(path.hasIPv4);
    EXPECT_FALSE(path.hasIPv6);
    EXPECT_EQ(path.routerIPv4, address("192.168.1.1"));
    EXPECT_EQ(path.routerIPv6, std::nullopt);
}

TEST(NetworkPathCompose, TunnelTakesRoutersFromFirstPhysicalServiceWithRouter) {
    StoreSnapshot snapshot;
    snapshot.primaryInterface = "utun4";
    snapshot.routerIPv4 = "10.8.0.1";  // the tunnel's own, never probed
    snapshot.services = {{"utun4", std::nullopt, std::nullopt},
                         {"en1", std::nullopt, std::nullopt},  // no router: passed over
                         {"en0", "10.0.0.1", "fe80::1"},
                         {"en2", "10.1.0.1", std::nullopt}};
    const auto path = NetworkPath::compose(
        snapshot, satisfied({{"utun4", Type::other}, {"en0", Type::wiredEthernet}, {"en2", Type::wifi}}));
    EXPECT_TRUE(path.isVPN);
    EXPECT_EQ(path.primaryInterface, "utun4");
    EXPECT_EQ(path.physicalInterface, "en0");
    EXPECT_EQ(path.routerIPv4, address("10.0.0.1"));
    EXPECT_EQ(path.kind, NetworkPath::Kind::ethernet);
}

TEST(NetworkPathCompose, TunnelRouterIPv6IsScopedToTheServiceInterface) {
    StoreSnapshot snapshot;
    snapshot.primaryInterface = "wg0";
    snapshot.services = {{"wg0", "10.9.0.1", std::nullopt}, {"lo", std::nullopt, "fe80::1"}};
    const auto path = NetworkPath::compose(snapshot, std::nullopt);
    EXPECT_TRUE(path.isVPN);
    EXPECT_EQ(path.physicalInterface, "lo");
    EXPECT_EQ(path.routerIPv4, std::nullopt);
    EXPECT_EQ(path.routerIPv6, address("fe80::1%lo"));
    EXPECT_EQ(path.routerIPv6->scopeID, loIndex);
}

TEST(NetworkPathCompose, TunnelWithoutPhysicalService) {
    StoreSnapshot snapshot;
    snapshot.primaryInterface = "ppp0";
    snapshot.routerIPv4 = "10.64.64.64";
    snapshot.services = {{"ppp0", "10.64.64.64", std::nullopt}, {"en0", std::nullopt, std::nullopt}};
    const auto path = NetworkPath::compose(snapshot, satisfied({{"ppp0", Type::other}}));
    EXPECT_TRUE(path.isVPN);
    EXPECT_EQ(path.primaryInterface, "ppp0");
    EXPECT_EQ(path.physicalInterface, std::nullopt);
    EXPECT_EQ(path.routerIPv4, std::nullopt);
    EXPECT_EQ(path.routerIPv6, std::nullopt);
    EXPECT_EQ(path.kind, NetworkPath::Kind::other);
    EXPECT_TRUE(path.isSatisfied);
}

TEST(NetworkPathCompose, TunnelKnownByLinkTypeWhateverItsName) {
    StoreSnapshot snapshot;
    snapshot.primaryInterface = "corpvpn";
    snapshot.services = {{"corpvpn", "172.16.0.1", std::nullopt}, {"eth0", "10.77.0.1", std::nullopt}};
    snapshot.tunnelInterfaces = {"corpvpn"};
    const auto path = NetworkPath::compose(snapshot, std::nullopt);
    EXPECT_TRUE(path.isVPN);
    EXPECT_EQ(path.physicalInterface, "eth0");
    EXPECT_EQ(path.routerIPv4, address("10.77.0.1"));

    snapshot.tunnelInterfaces.clear();
    const auto plain = NetworkPath::compose(snapshot, std::nullopt);
    EXPECT_FALSE(plain.isVPN);
    EXPECT_EQ(plain.physicalInterface, "corpvpn");
}

TEST(NetworkPathCompose, LinkLocalRouterGetsTheInterfaceAsScope) {
    StoreSnapshot snapshot;
    snapshot.primaryInterface = "en0";
    snapshot.hasGlobalIPv6 = true;
    snapshot.primaryInterfaceIPv6 = "lo";
    snapshot.routerIPv6 = "FE80::1";
    auto path = NetworkPath::compose(snapshot, std::nullopt);
    ASSERT_TRUE(path.routerIPv6);
    EXPECT_EQ(*path.routerIPv6, address("fe80::1%lo"));
    EXPECT_EQ(path.routerIPv6->scopeID, loIndex);

    // Without an IPv6 primary the IPv4 one lends its name.
    snapshot.primaryInterface = "lo";
    snapshot.primaryInterfaceIPv6.reset();
    path = NetworkPath::compose(snapshot, std::nullopt);
    EXPECT_EQ(path.routerIPv6, address("fe80::1%lo"));

    // An IPv6-only path takes its interface from the IPv6 state.
    snapshot.primaryInterface.reset();
    snapshot.primaryInterfaceIPv6 = "lo";
    path = NetworkPath::compose(snapshot, std::nullopt);
    EXPECT_EQ(path.primaryInterface, "lo");
    EXPECT_FALSE(path.hasIPv4);
    EXPECT_TRUE(path.hasIPv6);
    EXPECT_EQ(path.routerIPv6, address("fe80::1%lo"));
}

TEST(NetworkPathCompose, RouterTextsThatNeedNoScope) {
    // A text with its own scope is kept as it stands.
    EXPECT_EQ(NetworkPath::routerAddressIPv6("fe80::1%lo", "en7"), address("fe80::1%lo"));
    const auto global = NetworkPath::routerAddressIPv6("2001:db8::1", "lo");
    ASSERT_TRUE(global);
    EXPECT_EQ(global->scopeID, 0u);
    EXPECT_EQ(*global, address("2001:db8::1"));
    // Unparseable texts give no router, the rest of the path stands.
    EXPECT_EQ(NetworkPath::routerAddressIPv4("not an address"), std::nullopt);
    EXPECT_EQ(NetworkPath::routerAddressIPv6("fe80::1", "no-such-interface"), std::nullopt);

    StoreSnapshot snapshot;
    snapshot.primaryInterface = "en0";
    snapshot.routerIPv4 = "192.168.1.300";
    snapshot.hasGlobalIPv6 = true;
    snapshot.routerIPv6 = "2001:db8::1";
    const auto path = NetworkPath::compose(snapshot, satisfied());
    EXPECT_EQ(path.routerIPv4, std::nullopt);
    EXPECT_EQ(path.routerIPv6, address("2001:db8::1"));
    EXPECT_TRUE(path.isSatisfied);
}

TEST(NetworkPathCompose, SatisfiedNeedsFactsAndAnAddressFamily) {
    StoreSnapshot snapshot;
    snapshot.primaryInterface = "en0";
    snapshot.routerIPv4 = "192.168.1.1";
    const auto before = NetworkPath::compose(snapshot, std::nullopt);
    EXPECT_FALSE(before.isSatisfied);
    EXPECT_EQ(before.routerIPv4, address("192.168.1.1"));
    EXPECT_EQ(before.kind, NetworkPath::Kind::other);

    PathFacts facts = satisfied({{"en0", Type::cellular}});
    facts.isExpensive = true;
    facts.isConstrained = true;
    const auto after = NetworkPath::compose(snapshot, facts);
    EXPECT_TRUE(after.isSatisfied);
    EXPECT_TRUE(after.isExpensive);
    EXPECT_TRUE(after.isConstrained);
    EXPECT_EQ(after.kind, NetworkPath::Kind::cellular);

    facts.isSatisfied = false;
    EXPECT_FALSE(NetworkPath::compose(snapshot, facts).isSatisfied);

    // Satisfied status but neither global IPv4 nor IPv6 state.
    EXPECT_FALSE(NetworkPath::compose(StoreSnapshot{}, satisfied()).isSatisfied);
}

TEST(NetworkPathCompose, NoInterfaceIsTheEmptyPathPlusFacts) {
    StoreSnapshot snapshot;
    snapshot.routerIPv4 = "192.168.1.1";  // a router without a primary counts for nothing
    snapshot.services = {{"en0", "192.168.1.1", std::nullopt}};
    EXPECT_EQ(NetworkPath::compose(snapshot, std::nullopt), NetworkPath::empty());
    PathFacts facts = satisfied({{"en0", Type::wifi}});
    facts.isExpensive = true;
    auto expected = NetworkPath::empty();
    expected.isExpensive = true;
    EXPECT_EQ(NetworkPath::compose(snapshot, facts), expected);
}

TEST(NetworkPathCompose, KindComesFromThePhysicalInterfaceOnly) {
    StoreSnapshot snapshot;
    snapshot.primaryInterface = "en0";
    // Another interface of that type does not count; no match is other.
    EXPECT_EQ(NetworkPath::compose(snapshot, satisfied({{"en1", Type::wifi}})).kind, NetworkPath::Kind::other);
    EXPECT_EQ(NetworkPath::compose(snapshot, satisfied({{"en0", Type::other}, {"en0", Type::wifi}})).kind,
              NetworkPath::Kind::other);
}

TEST(VPNInterfaceName, PrefixesAreCaseSensitive) {
    for (const char* name : {"utun0", "ipsec1", "ppp0", "tun0", "tap3", "wg0", "tailscale0", "tun"})
        EXPECT_TRUE(isVPNInterfaceName(name)) << name;
    for (const char* name : {"en0", "eth0", "wlan0", "UTUN0", "Wg0", "xtun0", "", "br-tap", "lo", "veth0"})
        EXPECT_FALSE(isVPNInterfaceName(name)) << name;
}

}  // namespace
}  // namespace nerivane
