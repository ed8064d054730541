#include <gtest/gtest.h>
#include <linux/if_addr.h>
#include <linux/rtnetlink.h>
#include <net/if_arp.h>

#include "NerivaneKit/path/NetlinkPathSource.h"
#include "NerivaneKit/path/NetlinkState.h"
#include "NerivaneKit/platform/SerialQueue.h"
#include "support/LoopbackNetwork.h"

// Expected snapshots are written with designated initializers: the members
// left out are meant to keep their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace nerivane {
namespace {

using Link = NetlinkState::Link;
using Route = NetlinkState::Route;
using Type = PathFacts::InterfaceType;
using Services = std::vector<StoreSnapshot::Service>;
constexpr auto v4 = IPFamily::v4, v6 = IPFamily::v6;

Link link(int index, std::string name, unsigned type = ARPHRD_ETHER, bool running = true) {
    return Link{.index = index, .name = std::move(name), .isUp = true, .isRunning = running, .linkType = type};
}
NetlinkState::Address global(int index, IPFamily family) { return {index, family, RT_SCOPE_UNIVERSE, 0}; }
Route route(IPFamily family, std::uint8_t prefix, std::uint32_t metric, int index, std::optional<std::string> gateway = {}) {
    return Route{family, RT_TABLE_MAIN, RTN_UNICAST, prefix, metric, {{index, std::move(gateway), 0}}};
}

// The lab's client: eth0 with both families and a link-local IPv6 router.
NetlinkState labClient() {
    NetlinkState state;
    state.links = {link(1, "lo", ARPHRD_LOOPBACK), link(2, "eth0")};
    state.addresses = {{1, v4, RT_SCOPE_HOST, 0}, global(2, v4), global(2, v6), {2, v6, RT_SCOPE_LINK, 0}};
    state.routes = {route(v4, 0, 0, 2, "10.77.0.1"), route(v4, 24, 0, 2), route(v6, 64, 256, 2), route(v6, 0, 1024, 2, "fe80::1")};
    return state;
}
const StoreSnapshot labSnapshot{.primaryInterface = "eth0", .routerIPv4 = "10.77.0.1", .hasGlobalIPv6 = true,
                                .primaryInterfaceIPv6 = "eth0", .routerIPv6 = "fe80::1", .services = {{"eth0", "10.77.0.1", "fe80::1"}}};

TEST(NetlinkState, TheLowestMetricMainTableUnicastDefaultRoutesGiveThePrimaryInterfacesAndRouters) {
    EXPECT_EQ(labClient().snapshot(), labSnapshot);
    EXPECT_EQ(labClient().facts(false), (PathFacts{true, false, false, {{"eth0", Type::wiredEthernet}}}));  // never lo
    EXPECT_TRUE(labClient().facts(true).isExpensive);

    auto unplugged = labClient();
    unplugged.links[1].isRunning = false;  // no carrier: nothing usable
    EXPECT_EQ(unplugged.snapshot(), StoreSnapshot{});

    auto state = labClient();  // a VPN preferred by its metric; eth0 keeps its router beneath it
    state.links.push_back(link(3, "tun0", ARPHRD_NONE));
    state.addresses.push_back(global(3, v4));
    state.routes.push_back(route(v4, 0, 50, 3));
    state.routes[0].metric = 100;
    auto expected = labSnapshot;
    expected.primaryInterface = "tun0";
    expected.routerIPv4.reset();
    expected.tunnelInterfaces = {"tun0"};
    EXPECT_EQ(state.snapshot(), expected);

    // Policy tables and non-unicast defaults are not the main default route.
    state.routes.back().table = 51820;
    state.routes.push_back(route(v4, 0, 0, 3));
    state.routes.back().type = RTN_BLACKHOLE;
    EXPECT_EQ(state.snapshot().primaryInterface, "eth0");
    // The kernel's own route to the internet host, rules applied, decides (wg-quick's policy routing).
    state.lookups = {{v4, {3, std::nullopt, 0}}};
    EXPECT_EQ(state.snapshot().primaryInterface, "tun0");
}

TEST(NetlinkState, ServicesAreOrderedByMetricWithTheDefaultGatewayPreferred) {
    NetlinkState state;
    state.links = {link(2, "eth0"), link(3, "wlan0"), link(4, "eth1")};
    state.addresses = {global(2, v4), global(3, v4), global(4, v4), global(3, v6)};
    state.routes = {route(v4, 0, 600, 3, "192.168.1.1"),
                    route(v4, 16, 10, 3, "192.168.1.254"),  // a more specific route: orders wlan0 first
                    route(v6, 0, 1024, 3, "fe80::1"),
                    route(v4, 0, 100, 2, "10.0.0.1"),
                    route(v4, 8, 100, 4, "10.2.0.1"),
                    route(v4, 8, 50, 4, "10.2.0.2"),  // lower metric of two non-defaults wins
                    route(v4, 24, 0, 2)};             // no gateway: no influence
    EXPECT_EQ(state.snapshot().services, (Services{{"wlan0", "192.168.1.1", "fe80::1"}, {"eth1", "10.2.0.2"}, {"eth0", "10.0.0.1"}}));
}

// The kernel's own tables, in a namespace of the test's own whose default
// routes lead into loopback: every read, route lookups included, leaves the
// socket clean for the next one.
TEST(NetlinkState, RepeatedReadsOfTheKernelsTablesEachGetTheirLookups) {
    const auto failure = test::runInPrivateNetwork({}, [] {
        ASSERT_EQ(std::system("ip route add default dev lo && ip -6 route add default dev lo"), 0);
        SerialQueue queue{"org.nerivane.Nerivane.test.netlink"};
        NetlinkPathSource source(NetlinkPathSource::Options{.watchMetered = false});
        queue.sync([&] {
            ASSERT_TRUE(source.start(queue, {}));
            for (int read = 0; read < 3; ++read) {
                const auto state = source.readState();
                ASSERT_TRUE(state) << "read " << read;
                EXPECT_EQ(state->lookups.size(), 2u) << "read " << read;
            }
            source.stop();
        });
    });
    if (failure) GTEST_SKIP() << *failure;
}

}  // namespace
}  // namespace nerivane
