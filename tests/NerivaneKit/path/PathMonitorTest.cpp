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

StoreSnapshot ethernet(const std::string& router) {
    StoreSnapshot snapshot;
    snapshot.primaryInterface = "eth0";
    snapshot.routerIPv4 = router;
    return snapshot;
}

PathFacts satisfiedFacts() {
    PathFacts facts;
    facts.isSatisfied = true;
    facts.interfaces = {{"eth0", PathFacts::InterfaceType::wiredEthernet}};
    return facts;
}

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
        source->snapshot = ethernet("10.77.0.1");
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
    // Both return when the handler call has run on the queue.
    Clock::time_point deliver(const PathFacts& facts) {
        Clock::time_point at;
        queue.sync([&] {
            at = Clock::now();
            source->handlers.factsDelivered(facts);
        });
        return at;
    }
    Clock::time_point notify() {
        Clock::time_point at;
        queue.sync([&] {
            at = Clock::now();
            source->handlers.configurationChanged();
        });
        return at;
    }
    bool waitForReports(std::size_t count, std::chrono::milliseconds limit = 10s) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, limit, [&] { return reports.size() >= count; });
    }
    std::size_t reportCount() {
        std::lock_guard lock(mutex);
        return reports.size();
    }
    int reads() { return queue.syncResult([&] { return source->reads; }); }
    // Long enough for any debounced read to have run, even on a busy machine.
    void settle() { std::this_thread::sleep_for(PathMonitor::debounce + 700ms); }
};

TEST_F(PathMonitorTest, StartReadsNothingUntilTheFirstDelivery) {
    start();
    EXPECT_EQ(source->starts, 1);
    settle();
    EXPECT_EQ(reads(), 0);
    EXPECT_EQ(reportCount(), 0u);

    const auto delivered = deliver(satisfiedFacts());
    ASSERT_TRUE(waitForReports(1));
    std::lock_guard lock(mutex);
    EXPECT_GE(reports[0].at - delivered, PathMonitor::debounce);
    EXPECT_TRUE(reports[0].path.isSatisfied);
    EXPECT_EQ(reports[0].path.primaryInterface, "eth0");
    EXPECT_EQ(reports[0].path.kind, NetworkPath::Kind::ethernet);
    EXPECT_EQ(reports[0].path.routerIPv4, ProbeAddress::parse("10.77.0.1"));
}

TEST_F(PathMonitorTest, ABurstGivesOneReadAfterTheLastNotification) {
    start();
    deliver(satisfiedFacts());
    ASSERT_TRUE(waitForReports(1));
    const int readsBefore = reads();

    source->snapshot = ethernet("10.77.0.254");  // read only on the queue, after the burst
    std::vector<Clock::time_point> sent;
    for (int i = 0; i < 3; ++i) {
        if (i > 0) std::this_thread::sleep_for(200ms);
        sent.push_back(notify());
    }
    ASSERT_TRUE(waitForReports(2));
    settle();
    for (std::size_t i = 1; i < sent.size(); ++i)
        if (sent[i] - sent[i - 1] >= PathMonitor::debounce - 50ms)
            GTEST_SKIP() << "the machine was too busy to keep the notifications close together";
    EXPECT_EQ(reads() - readsBefore, 1);
    std::lock_guard lock(mutex);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_GE(reports[1].at - sent.back(), PathMonitor::debounce);
    EXPECT_EQ(reports[1].path.routerIPv4, ProbeAddress::parse("10.77.0.254"));
}

TEST_F(PathMonitorTest, EqualPathsAreNotReportedAgain) {
    start();
    deliver(satisfiedFacts());
    ASSERT_TRUE(waitForReports(1));
    // A different facts object that composes to the same path.
    PathFacts same = satisfiedFacts();
    same.interfaces.push_back({"wlan0", PathFacts::InterfaceType::wifi});
    deliver(same);
    settle();
    notify();
    settle();
    EXPECT_GE(reads(), 3);
    EXPECT_EQ(reportCount(), 1u);

    PathFacts unsatisfied = same;
    unsatisfied.isSatisfied = false;
    deliver(unsatisfied);
    ASSERT_TRUE(waitForReports(2));
    std::lock_guard lock(mutex);
    EXPECT_FALSE(reports[1].path.isSatisfied);
}

TEST_F(PathMonitorTest, StoreNotificationBeforeFactsReportsAnUnsatisfiedPathFirst) {
    start();
    notify();
    ASSERT_TRUE(waitForReports(1));
    deliver(satisfiedFacts());
    ASSERT_TRUE(waitForReports(2));
    std::lock_guard lock(mutex);
    EXPECT_FALSE(reports[0].path.isSatisfied);
    EXPECT_EQ(reports[0].path.routerIPv4, ProbeAddress::parse("10.77.0.1"));
    EXPECT_TRUE(reports[1].path.isSatisfied);
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
    queue.sync([&] { source->snapshot = ethernet("10.77.0.1"); });
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
