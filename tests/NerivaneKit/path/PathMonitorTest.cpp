#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "NerivaneKit/path/PathMonitor.h"
#include "NerivaneKit/platform/SerialQueue.h"

namespace nerivane {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A source whose configuration and facts the test sets, and whose handlers
// the test calls (through the queue, like a real source).
class FakeSource final : public PathSource {
public:
    struct Shared {
        std::optional<StoreSnapshot> snapshot;
        Handlers handlers;
        int starts = 0, stops = 0, reads = 0;
        bool opens = true;
    };
    explicit FakeSource(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}

    bool start(SerialQueue&, Handlers handlers) override {
        ++shared_->starts;
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

StoreSnapshot ethernet() {
    StoreSnapshot snapshot;
    snapshot.primaryInterface = "eth0";
    snapshot.routerIPv4 = "10.77.0.1";
    return snapshot;
}

PathFacts satisfiedFacts() { return PathFacts{true, false, false, {{"eth0", PathFacts::InterfaceType::wiredEthernet}}}; }

struct Report {
    NetworkPath path;
    Clock::time_point at;
};

class PathMonitorTest : public ::testing::Test {
protected:
    SerialQueue queue{"org.nerivane.Nerivane.test.path"};
    std::shared_ptr<FakeSource::Shared> source = std::make_shared<FakeSource::Shared>();
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Report> reports;
    std::unique_ptr<PathMonitor> monitor;

    void SetUp() override {
        source->snapshot = ethernet();
        monitor = std::make_unique<PathMonitor>(
            queue,
            [this](const NetworkPath& path) {
                std::lock_guard lock(mutex);
                reports.push_back({path, Clock::now()});
                changed.notify_all();
            },
            std::make_unique<FakeSource>(source));
    }
    void TearDown() override { monitor.reset(); }

    void start() { queue.sync([&] { monitor->start(); }); }
    void stop() { queue.sync([&] { monitor->stop(); }); }
    // Calls the source's handlers on the queue, as the source would; returns
    // when the call has run, with the moment it began.
    Clock::time_point call(const std::function<void(PathSource::Handlers&)>& handler) {
        Clock::time_point at;
        queue.sync([&] {
            at = Clock::now();
            handler(source->handlers);
        });
        return at;
    }
    Clock::time_point deliver(const PathFacts& facts) { return call([&](auto& h) { h.factsDelivered(facts); }); }
    Clock::time_point notify() { return call([](auto& h) { h.configurationChanged(); }); }
    bool waitForReports(std::size_t count) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 10s, [&] { return reports.size() >= count; });
    }
    std::size_t reportCount() {
        std::lock_guard lock(mutex);
        return reports.size();
    }
    int reads() { return queue.syncResult([&] { return source->reads; }); }
    // Long enough for any debounced read to have run, even on a busy machine.
    void settle() { std::this_thread::sleep_for(PathMonitor::debounce + 700ms); }
};

TEST_F(PathMonitorTest, ReadsOnlyAfterTheSourceSpeaksAndReportsDistinctPaths) {
    start();
    EXPECT_EQ(source->starts, 1);
    settle();
    EXPECT_EQ(reads(), 0);
    EXPECT_EQ(reportCount(), 0u);

    // A store notification before any facts reports an unsatisfied path.
    const auto notified = notify();
    ASSERT_TRUE(waitForReports(1));
    deliver(satisfiedFacts());
    ASSERT_TRUE(waitForReports(2));

    // Other facts that compose to the same path, and a notification without
    // a change, are read but not reported; a real change is.
    PathFacts same = satisfiedFacts();
    same.interfaces.push_back({"wlan0", PathFacts::InterfaceType::wifi});
    deliver(same);
    settle();
    notify();
    settle();
    EXPECT_GE(reads(), 4);
    EXPECT_EQ(reportCount(), 2u);
    same.isSatisfied = false;
    deliver(same);
    ASSERT_TRUE(waitForReports(3));

    std::lock_guard lock(mutex);
    EXPECT_GE(reports[0].at - notified, PathMonitor::debounce);
    EXPECT_FALSE(reports[0].path.isSatisfied);
    EXPECT_EQ(reports[0].path.routerIPv4, ProbeAddress::parse("10.77.0.1"));
    EXPECT_TRUE(reports[1].path.isSatisfied);
    EXPECT_EQ(reports[1].path.primaryInterface, "eth0");
    EXPECT_EQ(reports[1].path.kind, NetworkPath::Kind::ethernet);
    EXPECT_FALSE(reports[2].path.isSatisfied);
}

TEST_F(PathMonitorTest, StopCancelsThePendingReadAndIgnoresLateDeliveries) {
    start();
    deliver(satisfiedFacts());
    stop();  // within the debounce of the delivery
    EXPECT_EQ(source->stops, 1);
    deliver(satisfiedFacts());  // a late delivery from a stopped source
    notify();
    settle();
    EXPECT_EQ(reads(), 0);
    EXPECT_EQ(reportCount(), 0u);

    // Starting again works, and the facts kept from before are used.
    start();
    notify();
    ASSERT_TRUE(waitForReports(1));
    std::lock_guard lock(mutex);
    EXPECT_TRUE(reports[0].path.isSatisfied);
}

TEST_F(PathMonitorTest, ASourceThatCannotOpenReportsNothing) {
    source->opens = false;
    start();
    deliver(satisfiedFacts());
    settle();
    EXPECT_EQ(reads(), 0);
    EXPECT_EQ(reportCount(), 0u);
}

TEST_F(PathMonitorTest, AFailedReadIsRetried) {
    start();
    source->snapshot.reset();
    deliver(satisfiedFacts());
    settle();
    EXPECT_EQ(reportCount(), 0u);
    queue.sync([&] { source->snapshot = ethernet(); });
    ASSERT_TRUE(waitForReports(1));
}

TEST_F(PathMonitorTest, DestroyingTheMonitorDropsTheScheduledRead) {
    start();
    deliver(satisfiedFacts());
    monitor.reset();  // from this thread, while the read is pending
    settle();
    EXPECT_EQ(reportCount(), 0u);
    EXPECT_EQ(source->stops, 1);
    // The monitor's handlers outlive it in the source; calling them is harmless.
    deliver(satisfiedFacts());
    notify();
    settle();
    EXPECT_EQ(reportCount(), 0u);
}

}  // namespace
}  // namespace nerivane
