#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "NerivaneKit/platform/SerialQueue.h"
#include "support/Recorder.h"

namespace nerivane {
namespace {

using namespace std::chrono_literals;
using test::eventually;

TEST(SerialQueue, RunsWorkInOrderOneAtATimeOnItsOwnThread) {
    SerialQueue queue("org.nerivane.Nerivane.test");
    std::vector<int> order;
    std::atomic<int> running{0};
    bool overlapped = false;
    for (int i = 0; i < 100; ++i) {
        queue.async([&, i] {
            if (running.fetch_add(1) != 0) overlapped = true;
            if (i % 10 == 0) std::this_thread::sleep_for(1ms);
            order.push_back(i);
            running.fetch_sub(1);
        });
    }
    bool onQueue = false;
    queue.sync([&] { onQueue = queue.isCurrent(); });
    EXPECT_TRUE(onQueue);
    EXPECT_FALSE(queue.isCurrent());
    EXPECT_FALSE(overlapped);
    ASSERT_EQ(order.size(), 100u);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(order[i], i);
}

TEST(SerialQueueDeathTest, SyncFromItsOwnQueueAndPreconditionsOffItAbort) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            SerialQueue queue("org.nerivane.Nerivane.self");
            queue.sync([&] { queue.sync([] {}); });
        },
        "sync called from its own queue");
    SerialQueue queue("org.nerivane.Nerivane.pre");
    queue.sync([&] { queue.precondition(); });  // fine on the queue
    EXPECT_DEATH(queue.precondition(), "not on queue org.nerivane.Nerivane.pre");
}

TEST(SerialQueue, AsyncAfterRunsOnTheQueueNoSoonerThanTheDelay) {
    SerialQueue queue("org.nerivane.Nerivane.test");
    const auto start = std::chrono::steady_clock::now();
    std::atomic<bool> ran{false};
    std::atomic<bool> onQueue{false};
    std::chrono::steady_clock::time_point ranAt;
    auto work = queue.asyncAfter(100ms, [&] {
        ranAt = std::chrono::steady_clock::now();
        onQueue = queue.isCurrent();
        ran = true;
    });
    EXPECT_TRUE(static_cast<bool>(work));
    ASSERT_TRUE(eventually([&] { return ran.load(); }));
    EXPECT_TRUE(onQueue);
    EXPECT_GE(ranAt - start, 100ms);
    EXPECT_LT(ranAt - start, 5s);
    // Cancelling work that already ran is harmless.
    work.cancel();
    EXPECT_TRUE(work.isCancelled());
}

TEST(SerialQueue, CancelledDelayedWorkNeverRunsWhoeverCancels) {
    SerialQueue queue("org.nerivane.Nerivane.test");
    std::atomic<int> runs{0};
    auto fromOutside = queue.asyncAfter(100ms, [&] { runs += 1; });
    fromOutside.cancel();
    EXPECT_TRUE(fromOutside.isCancelled());
    auto fromQueue = queue.asyncAfter(100ms, [&] { runs += 1; });
    queue.sync([&] { fromQueue.cancel(); });
    auto fromThread = queue.asyncAfter(100ms, [&] { runs += 1; });
    std::thread([&] { fromThread.cancel(); }).join();

    std::atomic<bool> later{false};
    queue.asyncAfter(300ms, [&] { later = true; });
    ASSERT_TRUE(eventually([&] { return later.load(); }));
    EXPECT_EQ(runs.load(), 0);
}

TEST(SerialQueue, DelayedWorkAndHandlesMayOutliveTheQueue) {
    DelayedWork work;
    EXPECT_FALSE(static_cast<bool>(work));
    work.cancel();  // an empty handle holds nothing
    std::atomic<int> runs{0};
    {
        SerialQueue queue("org.nerivane.Nerivane.test");
        work = queue.asyncAfter(1h, [&] { runs += 1; });
    }
    // The queue and its loop are gone; the handle must neither run nor touch them.
    work.cancel();
    EXPECT_TRUE(work.isCancelled());
    EXPECT_EQ(runs.load(), 0);
}

TEST(SerialQueue, DestructionDropsWorkNotYetStartedAndMayComeFromItsOwnWork) {
    std::atomic<bool> started{false};
    std::atomic<bool> second{false};
    {
        SerialQueue queue("org.nerivane.Nerivane.test");
        queue.async([&] {
            started = true;
            std::this_thread::sleep_for(100ms);
        });
        queue.async([&] { second = true; });
        ASSERT_TRUE(eventually([&] { return started.load(); }));
    }
    EXPECT_FALSE(second.load());

    auto queue = std::make_shared<SerialQueue>("org.nerivane.Nerivane.test");
    std::atomic<bool> done{false};
    queue->async([&queue, &done] {
        queue.reset();  // the last owner lets go from inside the queue
        done = true;
    });
    ASSERT_TRUE(eventually([&] { return done.load(); }));
    // Let the detached thread unwind; it must not touch freed memory (run
    // under a sanitizer to see the difference).
    std::this_thread::sleep_for(50ms);
}

}  // namespace
}  // namespace nerivane
