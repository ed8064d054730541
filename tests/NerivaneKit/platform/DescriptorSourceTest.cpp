// Read readiness on pipes. Write readiness, and a handler that destroys its
// own source, are what the TCP prober's tests see with every connection.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>

#include "NerivaneKit/platform/DescriptorSource.h"
#include "NerivaneKit/platform/SerialQueue.h"
#include "support/Recorder.h"

namespace nerivane {
namespace {

using namespace std::chrono_literals;

struct Pipe {
    UniqueFd readEnd, writeEnd;
    int fd = -1;  // the read end's number, which outlives its owner
    Pipe() {
        int fds[2];
        EXPECT_EQ(pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
        readEnd.reset(fds[0]);
        writeEnd.reset(fds[1]);
        fd = fds[0];
    }
    void put(const char* bytes) const { ASSERT_EQ(::write(writeEnd.get(), bytes, strlen(bytes)), ssize_t(strlen(bytes))); }
    bool isOpen() const { return fcntl(fd, F_GETFD) != -1 || errno != EBADF; }
};

class DescriptorSourceTest : public ::testing::Test {
protected:
    // Makes a source on the queue, so that its handler cannot run before the
    // source is stored.
    void make(std::unique_ptr<DescriptorSource>& into, UniqueFd fd, std::function<void()> handler) {
        queue.sync([&] {
            into = std::make_unique<DescriptorSource>(queue, std::move(fd), DescriptorSource::Readiness::read,
                                                      std::move(handler));
        });
    }
    SerialQueue queue{"org.nerivane.Nerivane.test"};
};

TEST_F(DescriptorSourceTest, ReadinessReachesTheHandlerOnTheQueueForAsLongAsDataWaits) {
    Pipe pipe;
    std::atomic<int> bytes{0};
    std::atomic<bool> offQueue{false};
    std::unique_ptr<DescriptorSource> source;
    make(source, std::move(pipe.readEnd), [&] {
        if (!queue.isCurrent()) offQueue = true;
        // One byte per event: the source must keep reporting while data is left.
        char c;
        if (::read(pipe.fd, &c, 1) == 1) bytes += 1;
    });
    EXPECT_EQ(source->descriptor(), pipe.fd);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(bytes.load(), 0);  // nothing to read yet
    pipe.put("abc");
    EXPECT_TRUE(test::eventually([&] { return bytes.load() == 3; }));
    pipe.put("de");
    EXPECT_TRUE(test::eventually([&] { return bytes.load() == 5; }));
    EXPECT_FALSE(offQueue.load());
    queue.sync([&] { source.reset(); });
}

TEST_F(DescriptorSourceTest, CancelOrDestructionClosesTheDescriptorAndStopsEventsEvenFromTheHandler) {
    Pipe fromOutside, fromHandler, destroyed;
    std::atomic<int> outsideEvents{0}, handlerEvents{0};
    std::unique_ptr<DescriptorSource> outside, handler, other;
    fromOutside.put("x");  // readable from the start
    make(other, std::move(destroyed.readEnd), [] {});
    make(handler, std::move(fromHandler.readEnd), [&] {
        handlerEvents += 1;
        handler->cancel();  // data left unread
    });
    queue.sync([&] {
        outside = std::make_unique<DescriptorSource>(queue, std::move(fromOutside.readEnd),
                                                     DescriptorSource::Readiness::read, [&] { outsideEvents += 1; });
        outside->cancel();
        EXPECT_TRUE(outside->isCancelled());
        EXPECT_EQ(outside->descriptor(), -1);
        EXPECT_FALSE(fromOutside.isOpen());
        outside->cancel();  // twice is harmless
        EXPECT_TRUE(destroyed.isOpen());
        other.reset();
        EXPECT_FALSE(destroyed.isOpen());
    });
    fromHandler.put("x");
    ASSERT_TRUE(test::eventually([&] { return handlerEvents.load() == 1; }));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(outsideEvents.load(), 0);
    EXPECT_EQ(handlerEvents.load(), 1);
    queue.sync([&] {
        EXPECT_FALSE(fromHandler.isOpen());
        outside.reset();
        handler.reset();
    });
}

}  // namespace
}  // namespace nerivane
