#include <gtest/gtest.h>
#include <linux/if_addr.h>
#include <linux/rtnetlink.h>
#include <net/if_arp.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "NerivaneKit/path/NetlinkState.h"

namespace nerivane {
namespace {

using Link = NetlinkState::Link;
using Route = NetlinkState::Route;
using Type = PathFacts::InterfaceType;

Link link(int index, std::string name, unsigned type = ARPHRD_ETHER, bool running = true) {
    Link l;
    l.index = index;
    l.name = std::move(name);
    l.isUp = true;
    l.isRunning = running;
    l.linkType = type;
    return l;
}

NetlinkState::Address globalAddress(int index, IPFamily family, std::uint32_t flags = 0) {
    return {index, family, RT_SCOPE_UNIVERSE, flags};
}

Route route(IPFamily family, std::uint8_t prefix, std::uint32_t metric, int index,
            std::optional<std::string> gateway = std::nullopt) {
    Route r;
    r.family = family;
    r.table = RT_TABLE_MAIN;
    r.type = RTN_UNICAST;
    r.prefixLength = prefix;
    r.metric = metric;
    r.nextHops = {{index, std::move(gateway), 0}};
    return r;
}

// The lab's client: eth0 with both families and a link-local IPv6 router.
NetlinkState labClient() {
    NetlinkState state;
    state.links = {link(1, "lo", ARPHRD_LOOPBACK), link(2, "eth0")};
    state.addresses = {{1, IPFamily::v4, RT_SCOPE_HOST, 0}, globalAddress(2, IPFamily::v4),
                       globalAddress(2, IPFamily::v6), {2, IPFamily::v6, RT_SCOPE_LINK, 0}};
    state.routes = {route(IPFamily::v4, 0, 0, 2, "10.77.0.1"), route(IPFamily::v4, 24, 0, 2),
                    route(IPFamily::v6, 64, 256, 2), route(IPFamily::v6, 0, 1024, 2, "fe80::1")};
    return state;
}

TEST(NetlinkState, DefaultRoutesGiveThePrimaryInterfacesAndRouters) {
    const auto snapshot = labClient().snapshot();
    EXPECT_EQ(snapshot.primaryInterface, "eth0");
    EXPECT_EQ(snapshot.routerIPv4, "10.77.0.1");
    EXPECT_TRUE(snapshot.hasGlobalIPv6);
    EXPECT_EQ(snapshot.primaryInterfaceIPv6, "eth0");
    EXPECT_EQ(snapshot.routerIPv6, "fe80::1");
    EXPECT_EQ(snapshot.services, (std::vector<StoreSnapshot::Service>{{"eth0", "10.77.0.1", "fe80::1"}}));
    EXPECT_TRUE(snapshot.tunnelInterfaces.empty());

    const auto facts = labClient().facts(false);
    EXPECT_TRUE(facts.isSatisfied);
    EXPECT_FALSE(facts.isExpensive);
    EXPECT_FALSE(facts.isConstrained);
    // Loopback is never an available interface.
    EXPECT_EQ(facts.interfaces, (std::vector<PathFacts::Interface>{{"eth0", Type::wiredEthernet}}));
    EXPECT_TRUE(labClient().facts(true).isExpensive);
}

TEST(NetlinkState, LowestMetricDefaultWinsAndOnlyMainTableUnicastCounts) {
    auto state = labClient();
    state.links.push_back(link(3, "tun0", ARPHRD_NONE));
    state.addresses.push_back(globalAddress(3, IPFamily::v4));
    state.routes.push_back(route(IPFamily::v4, 0, 50, 3));  // the VPN, preferred by its metric
    state.routes[0].metric = 100;
    auto snapshot = state.snapshot();
    EXPECT_EQ(snapshot.primaryInterface, "tun0");
    EXPECT_EQ(snapshot.routerIPv4, std::nullopt);
    EXPECT_EQ(snapshot.tunnelInterfaces, (std::vector<std::string>{"tun0"}));
    // eth0 still has its router beneath the tunnel; tun0 has no gateway.
    EXPECT_EQ(snapshot.services, (std::vector<StoreSnapshot::Service>{{"eth0", "10.77.0.1", "fe80::1"}}));

    // Policy tables and non-unicast defaults are not the main default route.
    auto other = labClient();
    other.links.push_back(link(3, "wg0", ARPHRD_NONE));
    other.addresses.push_back(globalAddress(3, IPFamily::v4));
    auto policy = route(IPFamily::v4, 0, 0, 3);
    policy.table = 51820;
    auto blackhole = route(IPFamily::v4, 0, 0, 3);
    blackhole.type = RTN_BLACKHOLE;
    other.routes.insert(other.routes.begin(), {policy, blackhole});
    other.routes[2].metric = 600;
    EXPECT_EQ(other.snapshot().primaryInterface, "eth0");
}

TEST(NetlinkState, UnusableNextHopsAreSkipped) {
    // Link not running (no carrier).
    auto state = labClient();
    state.links[1].isRunning = false;
    EXPECT_EQ(state.snapshot(), (StoreSnapshot{}));
    EXPECT_FALSE(state.facts(false).isSatisfied);
    EXPECT_TRUE(state.facts(false).interfaces.empty());

    // The kernel marked the routes link-down.
    state = labClient();
    for (auto& r : state.routes) r.nextHops[0].flags = RTNH_F_LINKDOWN;
    EXPECT_EQ(state.snapshot().primaryInterface, std::nullopt);
    EXPECT_FALSE(state.facts(false).isSatisfied);

    // IPv6 address still tentative: no IPv6 state, IPv4 unaffected.
    state = labClient();
    state.addresses[2].flags = IFA_F_TENTATIVE;
    auto snapshot = state.snapshot();
    EXPECT_EQ(snapshot.primaryInterface, "eth0");
    EXPECT_FALSE(snapshot.hasGlobalIPv6);
    EXPECT_EQ(snapshot.routerIPv6, std::nullopt);
    EXPECT_EQ(snapshot.services, (std::vector<StoreSnapshot::Service>{{"eth0", "10.77.0.1", std::nullopt}}));
    EXPECT_TRUE(state.facts(false).isSatisfied);

    // Only a link-local IPv6 address: no global IPv6.
    state = labClient();
    state.addresses.erase(state.addresses.begin() + 2);
    EXPECT_FALSE(state.snapshot().hasGlobalIPv6);

    // A default route through a link that is gone, then a usable one with a worse metric.
    state = labClient();
    state.routes.insert(state.routes.begin(), route(IPFamily::v4, 0, 0, 9, "10.0.0.1"));
    state.routes[1].metric = 10;
    EXPECT_EQ(state.snapshot().primaryInterface, "eth0");
    EXPECT_EQ(state.snapshot().routerIPv4, "10.77.0.1");
}

TEST(NetlinkState, MultipathDefaultUsesTheFirstUsableHop) {
    auto state = labClient();
    state.links.push_back(link(3, "eth1", ARPHRD_ETHER, false));
    state.routes[0].nextHops = {{3, "10.1.0.1", 0}, {2, "10.77.0.1", 0}};
    const auto snapshot = state.snapshot();
    EXPECT_EQ(snapshot.primaryInterface, "eth0");
    EXPECT_EQ(snapshot.routerIPv4, "10.77.0.1");
}

TEST(NetlinkState, ServicesAreOrderedByMetricWithTheDefaultGatewayPreferred) {
    NetlinkState state;
    state.links = {link(2, "eth0"), link(3, "wlan0"), link(4, "eth1")};
    for (int i : {2, 3, 4}) state.addresses.push_back(globalAddress(i, IPFamily::v4));
    state.addresses.push_back(globalAddress(3, IPFamily::v6));
    state.routes = {
        route(IPFamily::v4, 0, 600, 3, "192.168.1.1"),
        route(IPFamily::v4, 16, 10, 3, "192.168.1.254"),  // a more specific route: orders wlan0 first
        route(IPFamily::v6, 0, 1024, 3, "fe80::1"),
        route(IPFamily::v4, 0, 100, 2, "10.0.0.1"),
        route(IPFamily::v4, 8, 100, 4, "10.2.0.1"),
        route(IPFamily::v4, 8, 50, 4, "10.2.0.2"),  // lower metric of two non-defaults wins
        route(IPFamily::v4, 24, 0, 2),              // no gateway: no influence
    };
    const auto snapshot = state.snapshot();
    EXPECT_EQ(snapshot.primaryInterface, "eth0");
    EXPECT_EQ(snapshot.services, (std::vector<StoreSnapshot::Service>{{"wlan0", "192.168.1.1", "fe80::1"},
                                                                      {"eth1", "10.2.0.2", std::nullopt},
                                                                      {"eth0", "10.0.0.1", std::nullopt}}));
    // Equal metrics fall back to the interface index.
    state.routes = {route(IPFamily::v4, 0, 5, 4, "10.2.0.1"), route(IPFamily::v4, 0, 5, 2, "10.0.0.1")};
    const auto tied = state.snapshot();
    ASSERT_EQ(tied.services.size(), 2u);
    EXPECT_EQ(tied.services[0].interface, "eth0");
    EXPECT_EQ(tied.primaryInterface, "eth1");  // the first route of the lowest metric
}

TEST(NetlinkState, LinkTypesAndDeviceTypes) {
    Link l = link(5, "x", ARPHRD_ETHER);
    EXPECT_EQ(NetlinkState::interfaceType(l), Type::wiredEthernet);
    EXPECT_FALSE(NetlinkState::isTunnelLink(l));
    l.deviceType = "wlan";
    EXPECT_EQ(NetlinkState::interfaceType(l), Type::wifi);
    l.deviceType.clear();
    l.isWireless = true;
    EXPECT_EQ(NetlinkState::interfaceType(l), Type::wifi);

    for (unsigned type : {ARPHRD_NONE, ARPHRD_PPP, ARPHRD_TUNNEL, ARPHRD_TUNNEL6, ARPHRD_SIT, ARPHRD_IPGRE, 823}) {
        Link tunnel = link(6, "t", type);
        EXPECT_TRUE(NetlinkState::isTunnelLink(tunnel)) << type;
        EXPECT_EQ(NetlinkState::interfaceType(tunnel), Type::other) << type;
    }
    EXPECT_FALSE(NetlinkState::isTunnelLink(link(1, "lo", ARPHRD_LOOPBACK)));

    // A raw-IP modem has no link-layer header either, but it is no tunnel.
    Link modem = link(7, "wwan0", ARPHRD_NONE);
    modem.deviceType = "wwan";
    EXPECT_FALSE(NetlinkState::isTunnelLink(modem));
    EXPECT_EQ(NetlinkState::interfaceType(modem), Type::cellular);
}

TEST(NetlinkState, DeviceFactsFromSysfs) {
    const auto root = std::filesystem::temp_directory_path() / ("nerivane-sysfs-" + std::to_string(::getpid()));
    std::filesystem::create_directories(root / "wlp2s0" / "phy80211");
    std::filesystem::create_directories(root / "wwan0");
    std::filesystem::create_directories(root / "eth0");
    std::ofstream(root / "wlp2s0" / "uevent") << "DEVTYPE=wlan\nINTERFACE=wlp2s0\nIFINDEX=3\n";
    std::ofstream(root / "wwan0" / "uevent") << "INTERFACE=wwan0\nIFINDEX=4\nDEVTYPE=wwan\n";
    std::ofstream(root / "eth0" / "uevent") << "INTERFACE=eth0\nIFINDEX=2\n";

    Link wifi = link(3, "wlp2s0");
    NetlinkState::readDeviceFacts(wifi, root);
    EXPECT_TRUE(wifi.isWireless);
    EXPECT_EQ(wifi.deviceType, "wlan");
    Link modem = link(4, "wwan0", ARPHRD_NONE);
    NetlinkState::readDeviceFacts(modem, root);
    EXPECT_FALSE(modem.isWireless);
    EXPECT_EQ(modem.deviceType, "wwan");
    Link wired = link(2, "eth0");
    wired.deviceType = "stale";
    NetlinkState::readDeviceFacts(wired, root);
    EXPECT_EQ(wired.deviceType, "");
    Link missing = link(9, "gone0");
    NetlinkState::readDeviceFacts(missing, root);
    EXPECT_EQ(missing.deviceType, "");
    EXPECT_FALSE(missing.isWireless);
    std::filesystem::remove_all(root);
}

}  // namespace
}  // namespace nerivane
