#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <chrono>
#include <memory>
#include <thread>

#include "NerivaneKit/platform/DescriptorSource.h"
#include "NerivaneKit/platform/SerialQueue.h"

namespace nerivane {
namespace {

using namespace std::chrono_literals;

template <class Predicate>
bool eventually(Predicate predicate, std::chrono::milliseconds limit = 5s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

struct Pipe {
    UniqueFd readEnd;
    UniqueFd writeEnd;
    Pipe() {
        int fds[2];
        EXPECT_EQ(pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
        readEnd.reset(fds[0]);
        writeEnd.reset(fds[1]);
    }
    void put(const char* bytes) const { ASSERT_EQ(::write(writeEnd.get(), bytes, strlen(bytes)), ssize_t(strlen(bytes))); }
};

bool isOpen(int fd) { return fcntl(fd, F_GETFD) != -1 || errno != EBADF; }

TEST(DescriptorSource, ReadinessReachesTheHandlerOnTheQueueForAsLongAsDataWaits) {
    SerialQueue queue("org.nerivane.Nerivane.test");
    Pipe pipe;
    const int fd = pipe.readEnd.get();
    std::atomic<int> bytes{0};
    std::atomic<bool> offQueue{false};
    std::unique_ptr<DescriptorSource> source;
    queue.sync([&] {
        source = std::make_unique<DescriptorSource>(queue, std::move(pipe.readEnd), DescriptorSource::Readiness::read,
                                                    [&] {
                                                        if (!queue.isCurrent()) offQueue = true;
                                                        // One byte per event: the source must keep
                                                        // reporting while data is left.
                                                        char c;
                                                        if (::read(fd, &c, 1) == 1) bytes += 1;
                                                    });
        EXPECT_EQ(source->descriptor(), fd);
    });
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(bytes.load(), 0);  // nothing to read yet

    pipe.put("abc");
    EXPECT_TRUE(eventually([&] { return bytes.load() == 3; }));
    pipe.put("de");
    EXPECT_TRUE(eventually([&] { return bytes.load() == 5; }));
    EXPECT_FALSE(offQueue.load());
    queue.sync([&] { source.reset(); });
}

TEST(DescriptorSource, CancelStopsEventsAndClosesTheDescriptor) {
    SerialQueue queue("org.nerivane.Nerivane.test");
    Pipe pipe;
    const int fd = pipe.readEnd.get();
    std::atomic<int> events{0};
    std::unique_ptr<DescriptorSource> source;
    pipe.put("x");  // readable from the start
    queue.sync([&] {
        source = std::make_unique<DescriptorSource>(queue, std::move(pipe.readEnd), DescriptorSource::Readiness::read,
                                                    [&] { events += 1; });
        source->cancel();
        EXPECT_TRUE(source->isCancelled());
        EXPECT_EQ(source->descriptor(), -1);
        EXPECT_FALSE(isOpen(fd));
        source->cancel();  // twice is harmless
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(events.load(), 0);
    queue.sync([&] { source.reset(); });
}

TEST(DescriptorSource, DestroyingClosesTheDescriptor) {
    SerialQueue queue("org.nerivane.Nerivane.test");
    Pipe pipe;
    const int fd = pipe.readEnd.get();
    queue.sync([&] {
        auto source = std::make_unique<DescriptorSource>(queue, std::move(pipe.readEnd),
                                                         DescriptorSource::Readiness::read, [] {});
        EXPECT_TRUE(isOpen(fd));
        source.reset();
        EXPECT_FALSE(isOpen(fd));
    });
}

TEST(DescriptorSource, HandlerMayCancelOrDestroyItsOwnSource) {
    SerialQueue queue("org.nerivane.Nerivane.test");
    Pipe cancelled;
    Pipe destroyed;
    const int cancelledFd = cancelled.readEnd.get();
    const int destroyedFd = destroyed.readEnd.get();
    std::atomic<int> cancelEvents{0};
    std::atomic<int> destroyEvents{0};
    std::unique_ptr<DescriptorSource> first;
    std::unique_ptr<DescriptorSource> second;
    queue.sync([&] {
        first = std::make_unique<DescriptorSource>(queue, std::move(cancelled.readEnd),
                                                   DescriptorSource::Readiness::read, [&] {
                                                       cancelEvents += 1;
                                                       first->cancel();  // data left unread
                                                   });
        second = std::make_unique<DescriptorSource>(queue, std::move(destroyed.readEnd),
                                                    DescriptorSource::Readiness::read, [&] {
                                                        destroyEvents += 1;
                                                        second.reset();
                                                    });
    });
    cancelled.put("x");
    destroyed.put("x");
    ASSERT_TRUE(eventually([&] { return cancelEvents.load() == 1 && destroyEvents.load() == 1; }));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(cancelEvents.load(), 1);
    EXPECT_EQ(destroyEvents.load(), 1);
    queue.sync([&] {
        EXPECT_FALSE(isOpen(cancelledFd));
        EXPECT_FALSE(isOpen(destroyedFd));
        first.reset();
    });
}

TEST(DescriptorSource, WriteReadinessOfASocket) {
    SerialQueue queue("org.nerivane.Nerivane.test");
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds), 0);
    UniqueFd mine(fds[0]);
    UniqueFd peer(fds[1]);
    std::atomic<int> events{0};
    std::unique_ptr<DescriptorSource> source;
    queue.sync([&] {
        source = std::make_unique<DescriptorSource>(queue, std::move(mine), DescriptorSource::Readiness::write, [&] {
            events += 1;
            source->cancel();
        });
    });
    EXPECT_TRUE(eventually([&] { return events.load() == 1; }));
    queue.sync([&] { source.reset(); });
}

}  // namespace
}  // namespace nerivane
