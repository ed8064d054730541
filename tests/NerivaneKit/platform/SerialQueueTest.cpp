// The queue and what runs on it: delayed work, repeating timers and
// descriptor sources, each made and destroyed on its queue.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "NerivaneKit/platform/DescriptorSource.h"
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

TEST(SerialQueue, DelayedWorkRunsOnTheQueueAfterItsDelayUnlessCancelledFromAnywhere) {
    SerialQueue queue("org.nerivane.Nerivane.test");
    const auto start = Clock::now();
    std::atomic<int> cancelledRuns{0};
    std::atomic<Clock::rep> ranAfter{0};
    auto work = queue.asyncAfter(100ms, [&] { ranAfter = queue.isCurrent() ? (Clock::now() - start).count() : -1; });
    DelayedWork cancelled[3];
    for (auto& w : cancelled) w = queue.asyncAfter(100ms, [&] { cancelledRuns += 1; });
    cancelled[0].cancel();
    queue.sync([&] { cancelled[1].cancel(); });
    std::thread([&] { cancelled[2].cancel(); }).join();
    ASSERT_TRUE(eventually([&] { return ranAfter.load() != 0; }));
    EXPECT_GE(Clock::duration(ranAfter.load()), 100ms);
    work.cancel();  // after it ran: harmless
    std::atomic<bool> later{false};
    queue.asyncAfter(200ms, [&] { later = true; });
    ASSERT_TRUE(eventually([&] { return later.load(); }));
    EXPECT_EQ(cancelledRuns.load(), 0);
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

class RepeatingTimerTest : public ::testing::Test {
protected:
    std::unique_ptr<RepeatingTimer> make(std::function<void()> handler = {}) {
        if (!handler) handler = [this] { firings(0); };
        return queue.syncResult([&] { return std::make_unique<RepeatingTimer>(queue, std::move(handler)); });
    }
    std::size_t count() { return firings.values().size(); }
    Clock::time_point at(std::size_t i) { return firings.entries().at(i).at; }
    void destroy(std::unique_ptr<RepeatingTimer>& timer) { queue.sync([&] { timer.reset(); }); }

    SerialQueue queue{"org.nerivane.Nerivane.test"};
    test::Recorder<int> firings;
};

TEST_F(RepeatingTimerTest, FiresOnItsQueueUntilCancelledAndAZeroPeriodDoesNotSpin) {
    auto timer = make([&] { firings(queue.isCurrent() ? 0 : -1); });
    queue.sync([&] { timer->start(20ms); });
    ASSERT_TRUE(eventually([&] { return count() >= 4; }));
    queue.sync([&] { timer->cancel(); });
    const auto stopped = count();
    EXPECT_FALSE(eventually([&] { return count() > stopped; }, 100ms));
    // Spinning would fire hundreds of thousands of times in 100 ms.
    queue.sync([&] { timer->start(0ns); });
    eventually([&] { return count() > stopped + 1000; }, 100ms);
    destroy(timer);
    EXPECT_LT(count() - stopped, 1000u);
    EXPECT_EQ(firings.countIf([](int v) { return v != 0; }), 0u);
}

// Expiries stay on the grid start + k * period however long the handler runs,
// and periods missed during a stall are skipped, not fired back to back.
TEST_F(RepeatingTimerTest, DoesNotDriftWithASlowHandlerAndSkipsMissedPeriods) {
    constexpr auto period = 250ms;
    int calls = 0;
    auto timer = make([&] {
        firings(0);
        // Slow every time (40 % of a period); once, a stall of 2.5 periods.
        std::this_thread::sleep_for(++calls == 2 ? period * 5 / 2 : period * 2 / 5);
    });
    const auto origin = queue.syncResult([&] {
        timer->start(period);
        return Clock::now();
    });
    ASSERT_TRUE(eventually([&] { return count() >= 7; }));
    destroy(timer);
    // The firing due during the stall comes once, late; every other one sits
    // on the grid (generously: a drifting timer is 100 ms later each time).
    for (std::size_t i = 0; i < 7; ++i) {
        const auto offset = at(i) - origin;
        if (i != 2) { EXPECT_LT(offset - (offset / period) * period, period / 3) << "firing " << i; }
        if (i > 0) { EXPECT_GT(at(i) - at(i - 1), period / 4) << "missed periods fired back to back at " << i; }
    }
}

TEST_F(RepeatingTimerTest, SetPeriodKeepsThePhaseAndStartsAStoppedTimer) {
    auto timer = make();
    queue.sync([&] { timer->start(400ms); });
    ASSERT_TRUE(eventually([&] { return count() >= 1; }));
    std::this_thread::sleep_for(200ms);
    queue.sync([&] { timer->setPeriod(500ms); });
    ASSERT_TRUE(eventually([&] { return count() >= 2; }));
    destroy(timer);
    // The last firing plus the new period (500 ms), not the change plus it (700 ms).
    EXPECT_LT(at(1) - at(0), 650ms);
    // Setting the period of a stopped timer starts it.
    timer = make();
    queue.sync([&] { timer->setPeriod(20ms); });
    EXPECT_TRUE(eventually([&] { return count() >= 4; }));
    destroy(timer);
}

struct Pipe {
    UniqueFd readEnd, writeEnd;
    int fd = -1;  // the read end's number, which outlives its owner
    Pipe() {
        int fds[2];
        EXPECT_EQ(pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
        readEnd.reset(fd = fds[0]);
        writeEnd.reset(fds[1]);
    }
    void put(const char* bytes) const { ASSERT_EQ(::write(writeEnd.get(), bytes, strlen(bytes)), ssize_t(strlen(bytes))); }
    bool isOpen() const { return fcntl(fd, F_GETFD) != -1 || errno != EBADF; }
};

// Made on the queue, so that the handler cannot run before the source is stored.
std::unique_ptr<DescriptorSource> source(SerialQueue& queue, UniqueFd fd, std::function<void()> handler) {
    return queue.syncResult([&] {
        return std::make_unique<DescriptorSource>(queue, std::move(fd), DescriptorSource::Readiness::read, std::move(handler));
    });
}

TEST(DescriptorSource, ReadinessReachesTheHandlerOnItsQueueUntilCancelledWhichClosesTheDescriptor) {
    SerialQueue queue{"org.nerivane.Nerivane.test"};
    Pipe pipe, cancelledPipe, selfPipe;
    std::atomic<int> bytes{0}, otherEvents{0};
    auto reader = source(queue, std::move(pipe.readEnd), [&] {
        EXPECT_TRUE(queue.isCurrent());
        char c;  // one byte per event: the source must keep reporting while data is left
        if (::read(pipe.fd, &c, 1) == 1) bytes += 1;
    });
    std::unique_ptr<DescriptorSource> self, cancelled;
    self = source(queue, std::move(selfPipe.readEnd), [&] { otherEvents += 1, self->cancel(); });  // data left unread
    cancelledPipe.put("x");  // readable from the start
    queue.sync([&] {
        cancelled = std::make_unique<DescriptorSource>(queue, std::move(cancelledPipe.readEnd), DescriptorSource::Readiness::read,
                                                       [&] { otherEvents += 1; });
        cancelled->cancel(), cancelled->cancel();
        EXPECT_EQ(cancelled->descriptor(), -1);
    });
    EXPECT_FALSE(cancelledPipe.isOpen());
    pipe.put("abc");
    selfPipe.put("x");
    EXPECT_TRUE(eventually([&] { return bytes.load() == 3 && otherEvents.load() == 1; }));
    pipe.put("de");
    EXPECT_TRUE(eventually([&] { return bytes.load() == 5; }));
    EXPECT_EQ(otherEvents.load(), 1);
    EXPECT_FALSE(selfPipe.isOpen());
    queue.sync([&] { reader.reset(), cancelled.reset(), self.reset(); });
    EXPECT_FALSE(pipe.isOpen());
}

}  // namespace
}  // namespace nerivane
