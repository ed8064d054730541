// The queue and the repeating timer that runs on it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
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

TEST(SerialQueue, RunsWorkInOrderOneAtATimeOnItsOwnThread) {
    SerialQueue queue("org.nerivane.Nerivane.test");
    std::vector<int> order, expected;
    std::atomic<int> running{0};
    for (int i = 0; i < 100; ++i) {
        expected.push_back(i);
        queue.async([&, i] {
            EXPECT_EQ(running++, 0) << "overlapping work";
            if (i % 10 == 0) std::this_thread::sleep_for(1ms);
            order.push_back(i), --running;
        });
    }
    EXPECT_TRUE(queue.syncResult([&] { return queue.isCurrent(); }) && !queue.isCurrent());
    EXPECT_EQ(order, expected);
}

TEST(SerialQueue, DestructionDropsWaitingWorkAndMayComeFromItsOwnWorkOrOutliveItsHandles) {
    std::atomic<bool> started{false}, second{false};
    std::atomic<int> runs{0};
    DelayedWork work;
    work.cancel();  // an empty handle holds nothing
    {
        SerialQueue queue("org.nerivane.Nerivane.test");
        work = queue.asyncAfter(1h, [&] { runs += 1; });
        queue.async([&] {
            started = true;
            std::this_thread::sleep_for(100ms);
        });
        queue.async([&] { second = true; });
        ASSERT_TRUE(eventually([&] { return started.load(); }));
    }
    EXPECT_FALSE(second.load());
    // The queue and its loop are gone; the handle must neither run nor touch them.
    work.cancel();
    EXPECT_EQ(runs.load(), 0);

    auto queue = std::make_shared<SerialQueue>("org.nerivane.Nerivane.test");
    std::atomic<bool> done{false};
    queue->async([&queue, &done] {
        queue.reset();  // the last owner lets go from inside the queue
        done = true;
    });
    ASSERT_TRUE(eventually([&] { return done.load(); }));
    // Let the detached thread unwind: it must not touch freed memory (a
    // sanitizer shows the difference).
    std::this_thread::sleep_for(50ms);
}

// Expiries stay on the grid start + k * period however long the handler runs,
// and periods missed during a stall are skipped, not fired back to back.
TEST(RepeatingTimer, DoesNotDriftWithASlowHandlerAndSkipsMissedPeriods) {
    constexpr auto period = 250ms;
    SerialQueue queue{"org.nerivane.Nerivane.test"};
    test::Recorder<int> firings;
    int calls = 0;
    auto timer = queue.syncResult([&] {
        return std::make_unique<RepeatingTimer>(queue, [&] {
            firings(queue.isCurrent() ? 0 : -1);
            // Slow every time (40 % of a period); once, a stall of 2.5 periods.
            std::this_thread::sleep_for(++calls == 2 ? period * 5 / 2 : period * 2 / 5);
        });
    });
    const auto origin = queue.syncResult([&] {
        timer->start(period);
        return Clock::now();
    });
    ASSERT_TRUE(eventually([&] { return firings.values().size() >= 7; }));
    queue.sync([&] { timer.reset(); });
    // The firing due during the stall comes once, late; every other one sits
    // on the grid (generously: a drifting timer is 100 ms later each time).
    const auto entries = firings.entries();
    for (std::size_t i = 0; i < 7; ++i) {
        const auto offset = entries[i].at - origin;
        if (i != 2) { EXPECT_LT(offset - (offset / period) * period, period / 3) << "firing " << i; }
        if (i > 0) { EXPECT_GT(entries[i].at - entries[i - 1].at, period / 4) << "missed periods fired back to back at " << i; }
    }
    EXPECT_EQ(firings.countIf([](int v) { return v != 0; }), 0u) << "fired off its queue";
}

}  // namespace
}  // namespace nerivane
