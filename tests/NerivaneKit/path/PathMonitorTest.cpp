#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "NerivaneKit/path/PathMonitor.h"
#include "NerivaneKit/platform/SerialQueue.h"
#include "support/Recorder.h"

// Snapshots are written with designated initializers: the members left out keep their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace nerivane {
namespace {

using namespace std::chrono_literals;

// A source whose snapshot the test sets, and whose handlers the test calls
// through the queue, like a real source.
class FakeSource final : public PathSource {
public:
    struct Shared {
        std::optional<StoreSnapshot> snapshot = StoreSnapshot{.primaryInterface = "eth0", .routerIPv4 = "10.77.0.1"};
        Handlers handlers;
        int stops = 0, reads = 0;
        bool opens = true;
    };
    explicit FakeSource(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}
    bool start(SerialQueue&, Handlers handlers) override {
        shared_->handlers = std::move(handlers);
        return shared_->opens;
    }
    void stop() override { ++shared_->stops; }
    std::optional<StoreSnapshot> readSnapshot() override {
        ++shared_->reads;
        return shared_->snapshot;
    }

private:
    std::shared_ptr<Shared> shared_;
};

const PathFacts ethernet{true, false, false, {{"eth0", PathFacts::InterfaceType::wiredEthernet}}};

class PathMonitorTest : public ::testing::Test {
protected:
    SerialQueue queue{"org.nerivane.Nerivane.test.path"};
    std::shared_ptr<FakeSource::Shared> source = std::make_shared<FakeSource::Shared>();
    test::Recorder<NetworkPath> reports;
    std::unique_ptr<PathMonitor> monitor = std::make_unique<PathMonitor>(queue, std::ref(reports), std::make_unique<FakeSource>(source));

    void start() { queue.sync([&] { monitor->start(); }); }
    // Calls the source's handlers on the queue, as the source would; returns when the call has run.
    test::SteadyClock::time_point deliver(std::optional<PathFacts> facts = {}) {
        return queue.syncResult([&] {
            const auto at = test::SteadyClock::now();
            facts ? source->handlers.factsDelivered(*facts) : source->handlers.configurationChanged();
            return at;
        });
    }
    int reads() { return queue.syncResult([&] { return source->reads; }); }
    // Long enough for any debounced read to have run, even on a busy machine.
    void settle() { std::this_thread::sleep_for(PathMonitor::debounce + 700ms); }
};

TEST_F(PathMonitorTest, ReadsOnlyAfterTheSourceSpeaksAndReportsDistinctPathsAfterTheDebounce) {
    start();
    settle();
    EXPECT_EQ(reads(), 0);
    const auto notified = deliver();  // a store notification before any facts: unsatisfied
    ASSERT_TRUE(reports.waitForCount(1));
    deliver(ethernet);
    ASSERT_TRUE(reports.waitForCount(2));
    // Other facts that compose to the same path, and a notification without
    // a change, are read but not reported; a real change is.
    PathFacts same = ethernet;
    same.interfaces.push_back({"wlan0", PathFacts::InterfaceType::wifi});
    deliver(same);
    settle();
    deliver();
    settle();
    EXPECT_GE(reads(), 4);
    same.isSatisfied = false;
    deliver(same);
    ASSERT_TRUE(reports.waitForCount(3));
    const auto entries = reports.entries();
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_GE(entries[0].at - notified, PathMonitor::debounce);
    EXPECT_FALSE(entries[0].value.isSatisfied);
    EXPECT_EQ(entries[0].value.routerIPv4, ProbeAddress::parse("10.77.0.1"));
    EXPECT_TRUE(entries[1].value.isSatisfied);
    EXPECT_EQ(entries[1].value.kind, NetworkPath::Kind::ethernet);
    EXPECT_FALSE(entries[2].value.isSatisfied);
}

TEST_F(PathMonitorTest, StopOrDestructionDropsThePendingReadAndLateDeliveriesButAFailedReadIsRetried) {
    start();
    deliver(ethernet);
    queue.sync([&] { monitor->stop(); });  // within the debounce of the delivery
    deliver(ethernet);  // late deliveries from a stopped source
    deliver();
    settle();
    EXPECT_EQ(reads(), 0);
    // Starting again works, and a failed read is tried again.
    start();
    queue.sync([&] { source->snapshot.reset(); });
    deliver();
    settle();
    EXPECT_TRUE(reports.values().empty());
    queue.sync([&] { source->snapshot = StoreSnapshot{.primaryInterface = "eth0"}; });
    ASSERT_TRUE(reports.waitForCount(1));
    EXPECT_TRUE(reports.values()[0].isSatisfied) << "the facts kept from before are used";

    deliver(PathFacts{});
    monitor.reset();  // from this thread, while the read is pending
    EXPECT_EQ(source->stops, 2);
    // The monitor's handlers outlive it in the source; calling them is harmless.
    deliver(ethernet);
    settle();
    EXPECT_EQ(reports.values().size(), 1u);
}

TEST_F(PathMonitorTest, ASourceThatCannotOpenReportsNothing) {
    source->opens = false;
    start();
    deliver(ethernet);
    settle();
    EXPECT_EQ(reads(), 0);
}

}  // namespace
}  // namespace nerivane
