// The path monitor with its real netlink source, inside the lab's client
// namespace: eth0 10.77.0.2/24 via 10.77.0.1, fd77::2/64 via fe80::1, and a
// tun0 that `lab vpn on` makes the default route, or that `lab vpn policy on`
// makes the route of internet traffic by rules, as wg-quick does.
#include <gtest/gtest.h>
#include <net/if.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "NerivaneKit/path/PathMonitor.h"
#include "NerivaneKit/platform/SerialQueue.h"
#include "support/LabAccess.h"
#include "support/Recorder.h"

namespace nerivane {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using labtest::insideTheLab;
using labtest::lab;
using labtest::labName;

bool run(const std::string& command) { return std::system((command + " >/dev/null").c_str()) == 0; }

void expectPlainLabPath(const NetworkPath& path) {
    EXPECT_TRUE(path.isSatisfied && path.hasIPv4 && path.hasIPv6 && !path.isVPN);
    EXPECT_EQ(path.primaryInterface, "eth0");
    EXPECT_EQ(path.kind, NetworkPath::Kind::ethernet);  // veth is an Ethernet link
    EXPECT_EQ(path.routerIPv4, ProbeAddress::parse("10.77.0.1"));
    ASSERT_TRUE(path.routerIPv6);
    EXPECT_EQ(path.routerIPv6->scopeID, if_nametoindex("eth0"));
}

// Internet traffic leaves by tun0; the routers are still eth0's.
void expectTunnelOverEthernet(const NetworkPath& path) {
    EXPECT_TRUE(path.isSatisfied && path.isVPN);
    EXPECT_EQ(path.primaryInterface, "tun0");
    EXPECT_EQ(path.physicalInterface, "eth0");
    EXPECT_EQ(path.routerIPv4, ProbeAddress::parse("10.77.0.1"));
    EXPECT_EQ(path.routerIPv6, ProbeAddress::parse("fe80::1%eth0"));
}

class PathMonitorLab : public ::testing::Test {
protected:
    SerialQueue queue{"org.nerivane.Nerivane.test.path-lab"};
    test::Recorder<NetworkPath> reports;
    std::unique_ptr<PathMonitor> monitor;
    std::size_t seen = 0;
    Clock::time_point changed;

    void SetUp() override {
        if (!insideTheLab()) GTEST_SKIP() << "not inside the client namespace of lab \"" << labName() << "\"";
        ASSERT_TRUE(lab("vpn off") && lab("link up"));
        monitor = std::make_unique<PathMonitor>(queue, std::ref(reports));
        queue.sync([&] { monitor->start(); });
    }
    void TearDown() override {
        if (monitor) queue.sync([&] { monitor->stop(); });
        monitor.reset();
        if (insideTheLab()) {
            run("ip route del default via 10.77.0.4 dev eth0 metric 10 2>/dev/null");
            lab("vpn off");
            lab("link up");
            lab("reset");
        }
    }
    // Changes the lab (a lab command, or a shell one when it starts with "ip ").
    bool change(const std::string& command) {
        changed = Clock::now();
        return command.starts_with("ip ") ? run(command) : lab(command);
    }
    // The next report, no sooner than the debounce after the last change.
    NetworkPath next() {
        if (!reports.waitForCount(seen + 1, 15s)) {
            ADD_FAILURE() << "no report " << seen + 1;
            return {};
        }
        const auto entry = reports.entries()[seen++];
        EXPECT_GE(entry.at - changed, PathMonitor::debounce) << "report " << seen;
        return entry.value;
    }
    // No further report once a debounced read would have come, on a busy machine too.
    void quiet() {
        std::this_thread::sleep_for(2s);
        EXPECT_EQ(reports.values().size(), seen) << "after report " << seen;
    }
};

TEST_F(PathMonitorLab, OneReportPerChangeAfterTheDebounceThroughVPNsLinkLossRouteBurstsUntilStopped) {
    expectPlainLabPath(next());
    quiet();

    ASSERT_TRUE(change("vpn on"));
    expectTunnelOverEthernet(next());
    quiet();
    ASSERT_TRUE(change("vpn off"));
    expectPlainLabPath(next());

    ASSERT_TRUE(change("link down"));
    const auto down = next();
    EXPECT_FALSE(down.isSatisfied);
    EXPECT_EQ(down.routerIPv4, std::nullopt);
    quiet();
    ASSERT_TRUE(change("link up"));
    expectPlainLabPath(next());

    // A preferred default via another router, then that router replaced: one report.
    ASSERT_TRUE(change("ip route add default via 10.77.0.3 dev eth0 metric 10"));
    const auto first = changed;
    std::this_thread::sleep_for(200ms);
    ASSERT_TRUE(change("ip route replace default via 10.77.0.4 dev eth0 metric 10"));
    const bool close = changed - first < PathMonitor::debounce - 50ms;  // else the machine was too busy
    const auto replaced = next();
    EXPECT_EQ(replaced.routerIPv4, ProbeAddress::parse("10.77.0.4"));
    if (close) quiet();
    ASSERT_TRUE(change("ip route del default via 10.77.0.4 dev eth0 metric 10"));
    expectPlainLabPath(next());

    // Stopped and destroyed within the debounce of a change: the pending read never reports.
    ASSERT_TRUE(change("ip route add default via 10.77.0.4 dev eth0 metric 10"));
    queue.sync([&] { monitor->stop(); });
    const bool pending = Clock::now() - changed < PathMonitor::debounce - 50ms;  // else the machine was too busy
    monitor.reset();
    if (pending) quiet();
}

// wg-quick's full tunnel leaves the main table's default route on eth0; the
// kernel's own choice, rules applied, says tun0. A rule change alone is
// noticed too, and a split tunnel is followed for the host the engine names.
TEST_F(PathMonitorLab, PolicyRoutedVPNIsTheTunnelTheKernelChoosesForTheProbedHost) {
    expectPlainLabPath(next());
    ASSERT_TRUE(change("vpn policy on"));
    expectTunnelOverEthernet(next());
    quiet();
    ASSERT_TRUE(change("vpn policy off"));
    expectPlainLabPath(next());
    quiet();
    ASSERT_TRUE(change("vpn policy on"));
    expectTunnelOverEthernet(next());
    // Without the rule that sends unmarked traffic to the tunnel's table,
    // the main table (less its suppressed default) sends it out by eth0.
    ASSERT_TRUE(change("ip -4 rule del pref 32765") && run("ip -6 rule del pref 32765"));
    expectPlainLabPath(next());

    // Only the probed host's route decides.
    ASSERT_TRUE(change("ip route add 9.9.9.9/32 dev tun0"));
    quiet();
    changed = Clock::now();
    queue.sync([&] { monitor->setInternetAddresses({*ProbeAddress::parse("9.9.9.9")}); });
    expectTunnelOverEthernet(next());
}

}  // namespace
}  // namespace nerivane
