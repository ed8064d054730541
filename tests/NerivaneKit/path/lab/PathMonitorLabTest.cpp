// The path monitor with its real netlink source, inside the lab's client
// namespace: eth0 10.77.0.2/24 via 10.77.0.1, fd77::2/64 via fe80::1, and a
// tun0 that `lab vpn on` makes the default route.
#include <gtest/gtest.h>
#include <net/if.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include "NerivaneKit/path/PathMonitor.h"
#include "NerivaneKit/platform/SerialQueue.h"
#include "support/LabAccess.h"

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
    EXPECT_TRUE(vpn->path.isSatisfied);
    EXPECT_TRUE(vpn->path.isVPN);
    EXPECT_EQ(vpn->path.primaryInterface, "tun0");
    EXPECT_EQ(vpn->path.physicalInterface, "eth0");
    EXPECT_EQ(vpn->path.kind, NetworkPath::Kind::ethernet);
    EXPECT_EQ(vpn->path.routerIPv4, ProbeAddress::parse("10.77.0.1"));
    EXPECT_EQ(vpn->path.routerIPv6, ProbeAddress::parse("fe80::1%eth0"));
    settle();
    EXPECT_EQ(reportCount(), 2u);

    ASSERT_TRUE(lab("vpn off"));
    const auto back = waitForReport(2);
    ASSERT_TRUE(back);
    expectPlainLabPath(back->path);
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

}  // namespace
}  // namespace nerivane
