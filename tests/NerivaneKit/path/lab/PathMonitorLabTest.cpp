// The path monitor with its real netlink source, inside the lab's client
// namespace: eth0 10.77.0.2/24 via 10.77.0.1, fd77::2/64 via fe80::1, and a
// tun0 that `lab vpn on` makes the default route, or that `lab vpn policy on`
// makes the route of internet traffic by rules, as wg-quick does.
#include <gtest/gtest.h>
#include <net/if.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include "NerivaneKit/path/PathMonitor.h"
#include "NerivaneKit/platform/LogStore.h"
#include "NerivaneKit/platform/SerialQueue.h"
#include "NerivaneKit/probing/ProbeEngine.h"
#include "support/LabAccess.h"
#include "support/Recorder.h"

namespace nerivane {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

using labtest::insideTheLab;
using labtest::lab;
using labtest::labCommand;
using labtest::labName;

int run(const std::string& command) { return std::system((command + " >/dev/null").c_str()); }

class PathMonitorLab : public ::testing::Test {
protected:
    struct Report {
        NetworkPath path;
        Clock::time_point at;
    };

    SerialQueue queue{"org.nerivane.Nerivane.test.path-lab"};
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<Report> reports;
    std::unique_ptr<PathMonitor> monitor;

    void SetUp() override {
        if (!insideTheLab()) GTEST_SKIP() << "not inside the client namespace of lab \"" << labName() << "\"";
        ASSERT_FALSE(labCommand().empty());
        // Every case starts from the plain lab.
        ASSERT_TRUE(lab("vpn off"));
        ASSERT_TRUE(lab("link up"));
        monitor = std::make_unique<PathMonitor>(queue, [this](const NetworkPath& path) {
            std::lock_guard lock(mutex);
            reports.push_back({path, Clock::now()});
            arrived.notify_all();
        });
        queue.sync([&] { monitor->start(); });
    }

    void TearDown() override {
        if (monitor) {
            queue.sync([&] { monitor->stop(); });
            monitor.reset();
        }
        if (insideTheLab()) {
            run("ip route del default via 10.77.0.4 dev eth0 metric 10 2>/dev/null");
            lab("vpn off");
            lab("link up");
            lab("reset");
        }
    }

    // The next report after the first `count` ones.
    std::optional<Report> waitForReport(std::size_t count) {
        std::unique_lock lock(mutex);
        if (!arrived.wait_for(lock, 15s, [&] { return reports.size() > count; })) return std::nullopt;
        return reports[count];
    }
    std::size_t reportCount() {
        std::lock_guard lock(mutex);
        return reports.size();
    }
    // Long enough for a further debounced read to have come, on a busy machine too.
    void settle() { std::this_thread::sleep_for(2s); }

    static void expectPlainLabPath(const NetworkPath& path) {
        const auto eth0 = if_nametoindex("eth0");
        ASSERT_NE(eth0, 0u);
        EXPECT_TRUE(path.isSatisfied);
        EXPECT_EQ(path.primaryInterface, "eth0");
        EXPECT_EQ(path.physicalInterface, "eth0");
        EXPECT_EQ(path.kind, NetworkPath::Kind::ethernet);  // veth is an Ethernet link
        EXPECT_FALSE(path.isVPN);
        EXPECT_TRUE(path.hasIPv4);
        EXPECT_TRUE(path.hasIPv6);
        EXPECT_EQ(path.routerIPv4, ProbeAddress::parse("10.77.0.1"));
        ASSERT_TRUE(path.routerIPv6);
        EXPECT_EQ(*path.routerIPv6, ProbeAddress::parse("fe80::1%eth0"));
        EXPECT_EQ(path.routerIPv6->scopeID, eth0);
        EXPECT_FALSE(path.isConstrained);
    }

    // Internet traffic leaves by tun0; the routers are still eth0's.
    static void expectTunnelOverEthernet(const NetworkPath& path) {
        EXPECT_TRUE(path.isSatisfied);
        EXPECT_TRUE(path.isVPN);
        EXPECT_EQ(path.primaryInterface, "tun0");
        EXPECT_EQ(path.physicalInterface, "eth0");
        EXPECT_EQ(path.kind, NetworkPath::Kind::ethernet);
        EXPECT_EQ(path.routerIPv4, ProbeAddress::parse("10.77.0.1"));
        EXPECT_EQ(path.routerIPv6, ProbeAddress::parse("fe80::1%eth0"));
    }
};

TEST_F(PathMonitorLab, ReportsTheLabPathOnce) {
    const auto first = waitForReport(0);
    ASSERT_TRUE(first);
    expectPlainLabPath(first->path);
    settle();
    EXPECT_EQ(reportCount(), 1u);
}

TEST_F(PathMonitorLab, VPNOverEthernetKeepsTheEthernetRouters) {
    ASSERT_TRUE(waitForReport(0));
    const auto switched = Clock::now();
    ASSERT_TRUE(lab("vpn on"));
    const auto vpn = waitForReport(1);
    ASSERT_TRUE(vpn);
    EXPECT_GE(vpn->at - switched, PathMonitor::debounce);
    expectTunnelOverEthernet(vpn->path);
    settle();
    EXPECT_EQ(reportCount(), 2u);

    ASSERT_TRUE(lab("vpn off"));
    const auto back = waitForReport(2);
    ASSERT_TRUE(back);
    expectPlainLabPath(back->path);
}

// wg-quick's full tunnel leaves the main table's default route on eth0; the
// kernel's own choice, rules applied, says tun0. Switching it off is one
// report after the debounce, and a rule change alone is noticed too.
TEST_F(PathMonitorLab, PolicyRoutedVPNIsTheTunnelTheKernelChooses) {
    ASSERT_TRUE(waitForReport(0));
    ASSERT_TRUE(lab("vpn policy on"));
    const auto vpn = waitForReport(1);
    ASSERT_TRUE(vpn);
    expectTunnelOverEthernet(vpn->path);
    settle();
    ASSERT_EQ(reportCount(), 2u);

    const auto off = Clock::now();
    ASSERT_TRUE(lab("vpn policy off"));
    const auto plain = waitForReport(2);
    ASSERT_TRUE(plain);
    EXPECT_GE(plain->at - off, PathMonitor::debounce);
    expectPlainLabPath(plain->path);
    settle();
    EXPECT_EQ(reportCount(), 3u);

    // Without the rule that sends unmarked traffic to the tunnel's table,
    // the main table (less its suppressed default) sends it out by eth0.
    ASSERT_TRUE(lab("vpn policy on"));
    const auto again = waitForReport(3);
    ASSERT_TRUE(again);
    expectTunnelOverEthernet(again->path);
    ASSERT_EQ(run("ip -4 rule del pref 32765 && ip -6 rule del pref 32765"), 0);
    const auto ruleGone = waitForReport(4);
    ASSERT_TRUE(ruleGone);
    expectPlainLabPath(ruleGone->path);
}

// A split tunnel that carries only the probed host: the path follows the
// route to the address the engine names, not to a default one.
TEST_F(PathMonitorLab, TheRouteToTheProbedHostDecides) {
    ASSERT_TRUE(waitForReport(0));
    ASSERT_TRUE(lab("vpn policy on"));
    ASSERT_TRUE(waitForReport(1));
    ASSERT_EQ(run("ip -4 rule del pref 32765 && ip -6 rule del pref 32765"), 0);
    ASSERT_TRUE(waitForReport(2));
    ASSERT_EQ(run("ip route add 9.9.9.9/32 dev tun0"), 0);
    settle();
    ASSERT_EQ(reportCount(), 3u) << "a route to an address nobody probes changed the path";

    queue.sync([&] { monitor->setInternetAddresses({*ProbeAddress::parse("9.9.9.9")}); });
    const auto split = waitForReport(3);
    ASSERT_TRUE(split);
    EXPECT_TRUE(split->path.isVPN);
    EXPECT_EQ(split->path.primaryInterface, "tun0");
    EXPECT_EQ(split->path.routerIPv4, ProbeAddress::parse("10.77.0.1"));
}

TEST_F(PathMonitorLab, LinkDownIsNotSatisfied) {
    ASSERT_TRUE(waitForReport(0));
    const auto cut = Clock::now();
    ASSERT_TRUE(lab("link down"));
    const auto down = waitForReport(1);
    ASSERT_TRUE(down);
    EXPECT_GE(down->at - cut, PathMonitor::debounce);
    EXPECT_FALSE(down->path.isSatisfied);
    EXPECT_EQ(down->path.primaryInterface, std::nullopt);
    EXPECT_EQ(down->path.routerIPv4, std::nullopt);
    settle();
    EXPECT_EQ(reportCount(), 2u);

    ASSERT_TRUE(lab("link up"));
    const auto up = waitForReport(2);
    ASSERT_TRUE(up);
    expectPlainLabPath(up->path);
}

TEST_F(PathMonitorLab, TwoRouteChangesCloseTogetherGiveOneReport) {
    ASSERT_TRUE(waitForReport(0));
    // A preferred default via another router, then that router replaced.
    const auto first = Clock::now();
    ASSERT_EQ(run("ip route add default via 10.77.0.3 dev eth0 metric 10"), 0);
    std::this_thread::sleep_for(200ms);
    const auto second = Clock::now();
    ASSERT_EQ(run("ip route replace default via 10.77.0.4 dev eth0 metric 10"), 0);
    const auto report = waitForReport(1);
    ASSERT_TRUE(report);
    if (second - first >= PathMonitor::debounce - 50ms)
        GTEST_SKIP() << "the machine was too busy to keep the changes close together";
    EXPECT_GE(report->at - second, PathMonitor::debounce);
    EXPECT_EQ(report->path.routerIPv4, ProbeAddress::parse("10.77.0.4"));
    settle();
    EXPECT_EQ(reportCount(), 2u);
}

// The engine under a policy-routed VPN with a silent router: the router is
// probed on eth0 and, as under a main-table VPN, marked unreachable through
// the VPN rather than as not answering ping.
TEST(PolicyVPNEngineLab, ASilentRouterBeneathIsUnreachableThroughTheVPN) {
    if (!insideTheLab()) GTEST_SKIP() << "not inside the client namespace of lab \"" << labName() << "\"";
    LogStore::shared().setStderrOutput(LogStore::StderrOutput::never);
    ASSERT_TRUE(lab("vpn off") && lab("link up") && lab("reset"));
    ASSERT_TRUE(lab("set router mode=silent") && lab("vpn policy on"));
    test::Recorder<ProbeEngine::Event> recorder;
    TargetSettings settings;
    settings.internetHosts = {"1.1.1.1"};
    auto engine = std::make_unique<ProbeEngine>(settings, 1.0, std::ref(recorder));
    engine->start();
    const bool marked = recorder.waitFor(
        [](const std::vector<ProbeEngine::Event>& events) {
            return std::any_of(events.begin(), events.end(), [](const ProbeEngine::Event& e) {
                const auto* status = std::get_if<ProbeEngine::StatusEvent>(&e);
                return status && status->role == TargetRole::router() &&
                       status->status != TargetStatus::warmingUp;
            });
        },
        25s);
    engine.reset();
    lab("vpn off");
    lab("reset");
    ASSERT_TRUE(marked) << "the router never settled";

    std::optional<ProbeEngine::TargetsEvent> targets;
    std::optional<TargetStatus> router;
    for (const auto& entry : recorder.entries()) {
        if (const auto* list = std::get_if<ProbeEngine::TargetsEvent>(&entry.value)) targets = *list;
        if (const auto* status = std::get_if<ProbeEngine::StatusEvent>(&entry.value);
            status && status->role == TargetRole::router())
            router = status->status;
    }
    ASSERT_TRUE(targets);
    EXPECT_TRUE(targets->path.isVPN);
    EXPECT_EQ(targets->path.primaryInterface, "tun0");
    ASSERT_FALSE(targets->targets.empty());
    EXPECT_EQ(targets->targets[0].address.text(), "10.77.0.1");
    ASSERT_TRUE(router);
    EXPECT_EQ(text(*router), text(TargetStatus::unreachableVPN));
}

}  // namespace
}  // namespace nerivane
