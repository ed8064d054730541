#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "NerivaneKit/platform/RepeatingTimer.h"
#include "NerivaneKit/platform/SerialQueue.h"
#include "support/Recorder.h"

namespace nerivane {
namespace {

using namespace std::chrono_literals;
using Clock = test::SteadyClock;
using test::eventually;

// Firing times of the timers of one test, made and destroyed on their queue.
class RepeatingTimerTest : public ::testing::Test {
protected:
    std::unique_ptr<RepeatingTimer> make(std::function<void()> handler = {}) {
        if (!handler) handler = [this] { firings(0); };
        return queue.syncResult([&] { return std::make_unique<RepeatingTimer>(queue, std::move(handler)); });
    }
    std::size_t count() { return firings.values().size(); }
    std::vector<Clock::time_point> times() {
        std::vector<Clock::time_point> list;
        for (const auto& entry : firings.entries()) list.push_back(entry.at);
        return list;
    }
    void destroy(std::unique_ptr<RepeatingTimer>& timer) {
        queue.sync([&] { timer.reset(); });
    }

    SerialQueue queue{"org.nerivane.Nerivane.test"};
    test::Recorder<int> firings;
};

TEST_F(RepeatingTimerTest, FiresRepeatedlyOnItsQueueUntilCancelled) {
    std::atomic<bool> offQueue{false};
    auto timer = make([&] {
        if (!queue.isCurrent()) offQueue = true;
        firings(0);
    });
    queue.sync([&] {
        timer->start(20ms);
        EXPECT_TRUE(timer->isRunning());
        EXPECT_EQ(timer->period(), 20ms);
    });
    ASSERT_TRUE(eventually([&] { return count() >= 4; }));
    queue.sync([&] {
        timer->cancel();
        EXPECT_FALSE(timer->isRunning());
    });
    const auto stopped = count();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(count(), stopped);
    EXPECT_FALSE(offQueue.load());

    // A period of zero does not spin: that would fire hundreds of thousands
    // of times in 100 ms.
    queue.sync([&] { timer->start(0ns); });
    std::this_thread::sleep_for(100ms);
    destroy(timer);
    EXPECT_LT(count() - stopped, 1000u);
}

// Expiries stay on the grid start + k * period however long the handler runs,
// and periods missed during a stall are skipped, not fired back to back.
TEST_F(RepeatingTimerTest, DoesNotDriftWithASlowHandlerAndSkipsMissedPeriods) {
    constexpr auto period = 250ms;
    int calls = 0;
    auto timer = make([&] {
        firings(0);
        calls += 1;
        // Slow every time (40 % of a period); once, a stall of 2.5 periods.
        std::this_thread::sleep_for(calls == 2 ? period * 5 / 2 : period * 2 / 5);
    });
    const auto origin = queue.syncResult([&] {
        const auto now = Clock::now();
        timer->start(period);
        return now;
    });
    ASSERT_TRUE(eventually([&] { return count() >= 7; }));
    destroy(timer);

    const auto at = times();
    ASSERT_GE(at.size(), 7u);
    // The firing due during the stall comes once, late, when the handler
    // returns; every other one sits on the grid. The bound is generous for a
    // loaded machine: a drifting timer is 100 ms later with every firing.
    for (std::size_t i = 0; i < at.size(); ++i) {
        const auto offset = at[i] - origin;
        if (i != 2) {
            EXPECT_LT(offset - (offset / period) * period, period / 3) << "firing " << i;
        }
    }
    EXPECT_GE(at[2] - at[1], period * 5 / 2);
    // A timer that caught up on the missed periods would fire them back to back.
    for (std::size_t i = 1; i < at.size(); ++i)
        EXPECT_GT(at[i] - at[i - 1], period / 4) << "firings " << i - 1 << " and " << i;
}

TEST_F(RepeatingTimerTest, SetPeriodKeepsThePhaseAndStartsAStoppedTimer) {
    auto timer = make();
    queue.sync([&] { timer->start(400ms); });
    ASSERT_TRUE(eventually([&] { return count() >= 1; }));
    std::this_thread::sleep_for(200ms);
    queue.sync([&] { timer->setPeriod(500ms); });
    ASSERT_TRUE(eventually([&] { return count() >= 2; }));
    destroy(timer);
    const auto at = times();
    // The next firing is the last one plus the new period (500 ms after it),
    // not the moment of the change plus the new period (700 ms after it).
    EXPECT_GE(at[1] - at[0], 300ms);
    EXPECT_LT(at[1] - at[0], 650ms);

    // A shorter period whose next firing is already past fires at once.
    std::size_t before = count();
    timer = make();
    queue.sync([&] { timer->start(10s); });
    std::this_thread::sleep_for(200ms);
    const auto changed = queue.syncResult([&] {
        timer->setPeriod(50ms);
        return Clock::now();
    });
    ASSERT_TRUE(eventually([&] { return count() > before; }));
    destroy(timer);
    EXPECT_LT(times()[before] - changed, 2s);

    // Setting the period of a stopped timer starts it.
    before = count();
    timer = make();
    queue.sync([&] {
        timer->setPeriod(20ms);
        EXPECT_TRUE(timer->isRunning());
    });
    EXPECT_TRUE(eventually([&] { return count() >= before + 2; }));
    destroy(timer);
}

}  // namespace
}  // namespace nerivane
