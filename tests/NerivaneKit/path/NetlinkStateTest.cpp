#include <gtest/gtest.h>
#include <linux/if_addr.h>
#include <linux/rtnetlink.h>
#include <net/if_arp.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "NerivaneKit/path/NetlinkState.h"

// Expected snapshots are written with designated initializers: the members
// left out are meant to keep their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace nerivane {
namespace {

using Link = NetlinkState::Link;
using Route = NetlinkState::Route;
using Type = PathFacts::InterfaceType;
using Services = std::vector<StoreSnapshot::Service>;

Link link(int index, std::string name, unsigned type = ARPHRD_ETHER, bool running = true) {
    return Link{.index = index, .name = std::move(name), .isUp = true, .isRunning = running, .linkType = type};
}

NetlinkState::Address globalAddress(int index, IPFamily family, std::uint32_t flags = 0) {
    return {index, family, RT_SCOPE_UNIVERSE, flags};
}

Route route(IPFamily family, std::uint8_t prefix, std::uint32_t metric, int index,
            std::optional<std::string> gateway = std::nullopt) {
    return Route{family, RT_TABLE_MAIN, RTN_UNICAST, prefix, metric, {{index, std::move(gateway), 0}}};
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
    EXPECT_EQ(labClient().snapshot(),
              (StoreSnapshot{.primaryInterface = "eth0", .routerIPv4 = "10.77.0.1", .hasGlobalIPv6 = true,
                             .primaryInterfaceIPv6 = "eth0", .routerIPv6 = "fe80::1",
                             .services = {{"eth0", "10.77.0.1", "fe80::1"}}}));
    // Loopback is never an available interface.
    EXPECT_EQ(labClient().facts(false), (PathFacts{true, false, false, {{"eth0", Type::wiredEthernet}}}));
    EXPECT_TRUE(labClient().facts(true).isExpensive);
}

TEST(NetlinkState, LowestMetricDefaultWinsAndOnlyMainTableUnicastCounts) {
    auto state = labClient();
    state.links.push_back(link(3, "tun0", ARPHRD_NONE));
    state.addresses.push_back(globalAddress(3, IPFamily::v4));
    state.routes.push_back(route(IPFamily::v4, 0, 50, 3));  // the VPN, preferred by its metric
    state.routes[0].metric = 100;
    // eth0 still has its router beneath the tunnel; tun0 has no gateway.
    EXPECT_EQ(state.snapshot(), (StoreSnapshot{.primaryInterface = "tun0", .hasGlobalIPv6 = true,
                                               .primaryInterfaceIPv6 = "eth0", .routerIPv6 = "fe80::1",
                                               .services = {{"eth0", "10.77.0.1", "fe80::1"}},
                                               .tunnelInterfaces = {"tun0"}}));

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
    EXPECT_EQ(state.facts(false), (PathFacts{}));

    // The kernel marked the routes link-down.
    state = labClient();
    for (auto& r : state.routes) r.nextHops[0].flags = RTNH_F_LINKDOWN;
    EXPECT_EQ(state.snapshot().primaryInterface, std::nullopt);
    EXPECT_FALSE(state.facts(false).isSatisfied);

    // IPv6 address still tentative: no IPv6 state, IPv4 unaffected.
    state = labClient();
    state.addresses[2].flags = IFA_F_TENTATIVE;
    EXPECT_EQ(state.snapshot(), (StoreSnapshot{.primaryInterface = "eth0", .routerIPv4 = "10.77.0.1",
                                               .services = {{"eth0", "10.77.0.1", std::nullopt}}}));
    EXPECT_TRUE(state.facts(false).isSatisfied);

    // Only a link-local IPv6 address: no global IPv6.
    state = labClient();
    state.addresses.erase(state.addresses.begin() + 2);
    EXPECT_FALSE(state.snapshot().hasGlobalIPv6);

    // A default route through a link that is gone, then a usable one with a worse metric.
    state = labClient();
    state.routes.insert(state.routes.begin(), route(IPFamily::v4, 0, 0, 9, "10.0.0.1"));
    state.routes[1].metric = 10;
    EXPECT_EQ(state.snapshot().routerIPv4, "10.77.0.1");

    // A multipath default: the first usable hop.
    state = labClient();
    state.links.push_back(link(3, "eth1", ARPHRD_ETHER, false));
    state.routes[0].nextHops = {{3, "10.1.0.1", 0}, {2, "10.77.0.1", 0}};
    EXPECT_EQ(state.snapshot().primaryInterface, "eth0");
    EXPECT_EQ(state.snapshot().routerIPv4, "10.77.0.1");
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
    EXPECT_EQ(snapshot.services,
              (Services{{"wlan0", "192.168.1.1", "fe80::1"}, {"eth1", "10.2.0.2"}, {"eth0", "10.0.0.1"}}));
    // Equal metrics fall back to the interface index.
    state.routes = {route(IPFamily::v4, 0, 5, 4, "10.2.0.1"), route(IPFamily::v4, 0, 5, 2, "10.0.0.1")};
    const auto tied = state.snapshot();
    EXPECT_EQ(tied.services, (Services{{"eth0", "10.0.0.1"}, {"eth1", "10.2.0.1"}}));
    EXPECT_EQ(tied.primaryInterface, "eth1");  // the first route of the lowest metric
}

TEST(NetlinkState, InterfaceTypesFromLinkTypeAndSysfs) {
    for (unsigned type : {ARPHRD_NONE, ARPHRD_PPP, ARPHRD_TUNNEL, ARPHRD_TUNNEL6, ARPHRD_SIT, ARPHRD_IPGRE, 823}) {
        EXPECT_TRUE(NetlinkState::isTunnelLink(link(6, "t", type))) << type;
        EXPECT_EQ(NetlinkState::interfaceType(link(6, "t", type)), Type::other) << type;
    }
    EXPECT_FALSE(NetlinkState::isTunnelLink(link(1, "lo", ARPHRD_LOOPBACK)));

    const auto root = std::filesystem::temp_directory_path() / ("nerivane-sysfs-" + std::to_string(::getpid()));
    for (const char* name : {"wlp2s0", "wwan0", "eth0"}) std::filesystem::create_directories(root / name);
    std::ofstream(root / "wlp2s0" / "uevent") << "DEVTYPE=wlan\nINTERFACE=wlp2s0\nIFINDEX=3\n";
    std::ofstream(root / "wwan0" / "uevent") << "INTERFACE=wwan0\nIFINDEX=4\nDEVTYPE=wwan\n";
    std::ofstream(root / "eth0" / "uevent") << "INTERFACE=eth0\nIFINDEX=2\n";
    std::filesystem::create_directories(root / "wlan1" / "phy80211");  // wireless without a device type
    struct Case {
        Link link;
        std::string deviceType;
        bool wireless, tunnel;
        Type type;
    };
    Link stale = link(2, "eth0");
    stale.deviceType = "stale";
    // A raw-IP modem has no link-layer header either, but it is no tunnel.
    for (auto [device, deviceType, wireless, tunnel, type] : std::vector<Case>{
             {link(3, "wlp2s0"), "wlan", false, false, Type::wifi},
             {link(5, "wlan1"), "", true, false, Type::wifi},
             {link(4, "wwan0", ARPHRD_NONE), "wwan", false, false, Type::cellular},
             {stale, "", false, false, Type::wiredEthernet},
             {link(9, "gone0"), "", false, false, Type::wiredEthernet}}) {
        NetlinkState::readDeviceFacts(device, root);
        EXPECT_EQ(device.deviceType, deviceType) << device.name;
        EXPECT_EQ(device.isWireless, wireless) << device.name;
        EXPECT_EQ(NetlinkState::isTunnelLink(device), tunnel) << device.name;
        EXPECT_EQ(NetlinkState::interfaceType(device), type) << device.name;
    }
    std::filesystem::remove_all(root);
}

}  // namespace
}  // namespace nerivane
