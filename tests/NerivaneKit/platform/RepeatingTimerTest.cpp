#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "NerivaneKit/platform/RepeatingTimer.h"
#include "NerivaneKit/platform/SerialQueue.h"

namespace nerivane {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

template <class Predicate>
bool eventually(Predicate predicate, std::chrono::milliseconds limit = 10s) {
    const auto deadline = Clock::now() + limit;
    while (!predicate()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// Firing times of a timer, collected on its queue and read under a lock.
struct Firings {
    std::mutex mutex;
    std::vector<Clock::time_point> times;

    void record() {
        std::lock_guard lock(mutex);
        times.push_back(Clock::now());
    }
    std::size_t count() {
        std::lock_guard lock(mutex);
        return times.size();
    }
    std::vector<Clock::time_point> snapshot() {
        std::lock_guard lock(mutex);
        return times;
    }
};

// How far a firing lies behind the last grid point origin + k * period.
std::chrono::nanoseconds lateness(Clock::time_point firing, Clock::time_point origin, std::chrono::nanoseconds period) {
    const auto offset = firing - origin;
    return offset - (offset / period) * period;
}

TEST(RepeatingTimer, FiresRepeatedlyOnItsQueueUntilCancelled) {
    SerialQueue queue("org.nerivane.Nerivane.test");
    Firings firings;
    std::atomic<bool> offQueue{false};
    std::unique_ptr<RepeatingTimer> timer;
    queue.sync([&] {
        timer = std::make_unique<RepeatingTimer>(queue, [&] {
            if (!queue.isCurrent()) offQueue = true;
            firings.record();
        });
        timer->start(20ms);
        EXPECT_TRUE(timer->isRunning());
        EXPECT_EQ(timer->period(), 20ms);
    });
    ASSERT_TRUE(eventually([&] { return firings.count() >= 4; }));
    queue.sync([&] {
        timer->cancel();
        EXPECT_FALSE(timer->isRunning());
    });
    const auto stopped = firings.count();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(firings.count(), stopped);
    EXPECT_FALSE(offQueue.load());
    queue.sync([&] { timer.reset(); });
}

// Expiries stay on the grid start + k * period however long the handler runs,
// and periods missed during a stall are skipped, not fired back to back.
TEST(RepeatingTimer, DoesNotDriftWithASlowHandlerAndSkipsMissedPeriods) {
    constexpr auto period = 250ms;
    SerialQueue queue("org.nerivane.Nerivane.test");
    Firings firings;
    std::unique_ptr<RepeatingTimer> timer;
    Clock::time_point origin;
    int calls = 0;
    queue.sync([&] {
        timer = std::make_unique<RepeatingTimer>(queue, [&] {
            firings.record();
            calls += 1;
            // Slow every time (40 % of a period); once, a stall of 2.5 periods.
            std::this_thread::sleep_for(calls == 2 ? period * 5 / 2 : period * 2 / 5);
        });
        origin = Clock::now();
        timer->start(period);
    });
    ASSERT_TRUE(eventually([&] { return firings.count() >= 7; }));
    queue.sync([&] { timer.reset(); });

    const auto times = firings.snapshot();
    ASSERT_GE(times.size(), 7u);
    // The firing due during the stall comes once, late, when the handler
    // returns; every other one sits on the grid. The bound is generous for a
    // loaded machine: a drifting timer is 100 ms later with every firing.
    constexpr auto tolerance = period / 3;
    for (std::size_t i = 0; i < times.size(); ++i) {
        if (i == 2) continue;
        EXPECT_LT(lateness(times[i], origin, period), tolerance) << "firing " << i;
    }
    EXPECT_GE(times[2] - times[1], period * 5 / 2);
    // A timer that caught up on the missed periods would fire them back to back.
    for (std::size_t i = 1; i < times.size(); ++i) {
        EXPECT_GT(times[i] - times[i - 1], period / 4) << "firings " << i - 1 << " and " << i;
    }
}

TEST(RepeatingTimer, SetPeriodKeepsThePhase) {
    SerialQueue queue("org.nerivane.Nerivane.test");
    Firings firings;
    std::unique_ptr<RepeatingTimer> timer;
    queue.sync([&] {
        timer = std::make_unique<RepeatingTimer>(queue, [&] { firings.record(); });
        timer->start(400ms);
    });
    ASSERT_TRUE(eventually([&] { return firings.count() >= 1; }));
    std::this_thread::sleep_for(200ms);
    queue.sync([&] { timer->setPeriod(500ms); });
    ASSERT_TRUE(eventually([&] { return firings.count() >= 2; }));
    queue.sync([&] { timer.reset(); });
    const auto times = firings.snapshot();
    // The next firing is the last one plus the new period (500 ms after it),
    // not the moment of the change plus the new period (700 ms after it).
    EXPECT_GE(times[1] - times[0], 300ms);
    EXPECT_LT(times[1] - times[0], 650ms);

    // Setting the period of a stopped timer starts it.
    Firings restarted;
    queue.sync([&] {
        timer = std::make_unique<RepeatingTimer>(queue, [&] { restarted.record(); });
        timer->setPeriod(20ms);
        EXPECT_TRUE(timer->isRunning());
    });
    EXPECT_TRUE(eventually([&] { return restarted.count() >= 2; }));
    queue.sync([&] { timer.reset(); });
}

TEST(RepeatingTimer, ShorterPeriodWhoseNextFiringIsPastFiresPromptly) {
    SerialQueue queue("org.nerivane.Nerivane.test");
    Firings firings;
    std::unique_ptr<RepeatingTimer> timer;
    Clock::time_point changed;
    queue.sync([&] {
        timer = std::make_unique<RepeatingTimer>(queue, [&] { firings.record(); });
        timer->start(10s);
    });
    std::this_thread::sleep_for(200ms);
    queue.sync([&] {
        changed = Clock::now();
        timer->setPeriod(50ms);  // start + 50 ms is already past: fire now
    });
    ASSERT_TRUE(eventually([&] { return firings.count() >= 1; }));
    queue.sync([&] { timer.reset(); });
    EXPECT_LT(firings.snapshot()[0] - changed, 2s);
}

TEST(RepeatingTimer, HandlerMayCancelOrDestroyItsTimer) {
    SerialQueue queue("org.nerivane.Nerivane.test");
    std::atomic<int> cancelling{0};
    std::atomic<int> destroying{0};
    std::unique_ptr<RepeatingTimer> first;
    std::unique_ptr<RepeatingTimer> second;
    queue.sync([&] {
        first = std::make_unique<RepeatingTimer>(queue, [&] {
            cancelling += 1;
            first->cancel();
        });
        second = std::make_unique<RepeatingTimer>(queue, [&] {
            destroying += 1;
            second.reset();
        });
        first->start(10ms);
        second->start(10ms);
    });
    ASSERT_TRUE(eventually([&] { return cancelling.load() == 1 && destroying.load() == 1; }));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(cancelling.load(), 1);
    EXPECT_EQ(destroying.load(), 1);
    queue.sync([&] {
        EXPECT_FALSE(first->isRunning());
        EXPECT_EQ(second, nullptr);
        // A cancelled timer starts again.
        first->start(10ms);
    });
    EXPECT_TRUE(eventually([&] { return cancelling.load() == 2; }));
    queue.sync([&] { first.reset(); });
}

TEST(RepeatingTimer, NonPositivePeriodDoesNotSpin) {
    SerialQueue queue("org.nerivane.Nerivane.test");
    std::atomic<int> count{0};
    std::unique_ptr<RepeatingTimer> timer;
    queue.sync([&] {
        timer = std::make_unique<RepeatingTimer>(queue, [&] { count += 1; });
        timer->start(0ns);
    });
    std::this_thread::sleep_for(100ms);
    queue.sync([&] { timer.reset(); });
    // A spinning timer fires hundreds of thousands of times in 100 ms.
    EXPECT_LT(count.load(), 1000);
}

}  // namespace
}  // namespace nerivane
