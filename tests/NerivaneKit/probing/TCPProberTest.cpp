// Connection attempts against listeners of our own on loopback (127.0.0.1
// and ::1) only; faults the kernel will not produce on loopback are injected.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <thread>
#include <vector>

#include "support/LoopbackNetwork.h"
#include "NerivaneKit/platform/SerialQueue.h"
#include "NerivaneKit/probing/TCPProber.h"
#include "support/Recorder.h"

namespace nerivane {
namespace {

using namespace std::chrono_literals;
using test::Listener;
using test::loopback;
using test::loopbackV4;
using test::openDescriptors;
using test::SilentTarget;

constexpr std::uint64_t second = 1'000'000'000ull;

#define SKIP_UNLESS_SILENT(target) \
    if (!(target).silent) GTEST_SKIP() << "the kernel answered every connection"

// A prober on its own queue, made and destroyed there; results must come on
// it. With a fake clock the test moves time by hand through `fakeNow`; the
// connect and socket calls numbered in the maps fail at once with that error.
class TCPProberTest : public ::testing::Test {
protected:
    void make(bool fakeClock = false, std::map<int, int> failedConnects = {}, std::map<int, int> failedSockets = {}) {
        TCPProber::Environment environment;
        if (fakeClock) environment.now = [this] { return fakeNow.load(); };
        environment.connect = [calls = 0, failedConnects](int fd, const sockaddr* address, socklen_t length) mutable {
            const auto found = failedConnects.find(++calls);
            return found == failedConnects.end() ? ::connect(fd, address, length) : (errno = found->second, -1);
        };
        environment.openSocket = [calls = 0, failedSockets](int domain, int type, int protocol) mutable {
            const auto found = failedSockets.find(++calls);
            return found == failedSockets.end() ? ::socket(domain, type, protocol) : (errno = found->second, -1);
        };
        queue.sync([&] {
            // The event loop opens descriptors of its own (epoll, eventfd,
            // timerfd) when it first watches one; do that before counting.
            int fds[2];
            ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
            UniqueFd spare(fds[1]);
            DescriptorSource(queue, UniqueFd(fds[0]), DescriptorSource::Readiness::read, [] {});
            prober = std::make_unique<TCPProber>(queue, 2, [this](const ProbeResult& result) {
                if (!queue.isCurrent()) offQueue = true;
                results(result);
            }, std::move(environment));
        });
    }
    std::uint16_t send(const ProbeAddress& address, std::uint16_t port) {
        return queue.syncResult([&] { return prober->send(address, port); });
    }
    std::size_t attempts() { return queue.syncResult([&] { return prober->attemptCount(); }); }
    void expire() { queue.sync([&] { prober->expire(); }); }
    void TearDown() override {
        queue.sync([&] { prober.reset(); });  // may be gone already
        EXPECT_FALSE(offQueue.load());
    }

    SerialQueue queue{"org.nerivane.Nerivane.probe"};
    test::Recorder<ProbeResult> results;
    std::atomic<bool> offQueue{false};
    std::unique_ptr<TCPProber> prober;
    std::atomic<std::uint64_t> fakeNow{1'000 * second};
};

class TCPProberFamilyTest : public TCPProberTest, public ::testing::WithParamInterface<IPFamily> {
protected:
    void SetUp() override {
        if (GetParam() == IPFamily::v6 && !test::hasIPv6Loopback()) GTEST_SKIP() << "no IPv6 loopback";
    }
};

TEST_P(TCPProberFamilyTest, AcceptedConnectionIsAReplyClosedWithoutDataAndARefusedOneIsLost) {
    const IPFamily family = GetParam();
    Listener listener(family, 8);
    const std::uint16_t closed = test::closedPort(family);
    make();
    const std::uint64_t before = MachClock::now();
    EXPECT_EQ(send(loopback(family), listener.port), 0);  // a new prober starts at 0

    ASSERT_TRUE(results.waitForCount(1));
    const ProbeResult result = results.values()[0];
    EXPECT_EQ(result, (ProbeResult{loopback(family), 0, result.sentAt, result.outcome}));
    ASSERT_TRUE(result.isReply());
    EXPECT_GE(result.sentAt, before);
    EXPECT_LE(result.sentAt + MachClock::ticks(*result.milliseconds() / 1000), MachClock::now());

    // The listener sees the connection and then its orderly end, no bytes.
    UniqueFd connection = listener.accept();
    ASSERT_TRUE(connection);
    pollfd readable{connection.get(), POLLIN, 0};
    ASSERT_EQ(::poll(&readable, 1, 5000), 1);
    char buffer[16];
    EXPECT_EQ(::recv(connection.get(), buffer, sizeof buffer, 0), 0);

    // Loopback reports a refusal through the socket error a moment later.
    const std::size_t descriptors = openDescriptors();
    EXPECT_EQ(send(loopback(family), closed), 1);
    ASSERT_TRUE(results.waitForCount(2));
    const ProbeResult refused = results.values()[1];
    EXPECT_EQ(refused, (ProbeResult{loopback(family), 1, refused.sentAt, ProbeResult::Lost{}}));
    EXPECT_EQ(attempts(), 0u);
    EXPECT_EQ(openDescriptors(), descriptors);
}

TEST_P(TCPProberFamilyTest, SilentAttemptsAreLostOldestFirstOnTheFirstExpireAfterTheTimeOut) {
    const IPFamily family = GetParam();
    SilentTarget target(family);
    SKIP_UNLESS_SILENT(target);
    make(true);
    const std::size_t descriptors = openDescriptors();
    const std::uint16_t first = send(loopback(family), target.listener.port);
    fakeNow += second / 2;
    const std::uint16_t secondSequence = send(loopback(family), target.listener.port);
    EXPECT_EQ(attempts(), 2u);

    // Not answered, and not expired while within the time-out.
    std::this_thread::sleep_for(200ms);
    fakeNow += 3 * second / 2;  // the first is exactly 2 s old: not yet over
    expire();
    EXPECT_TRUE(results.values().empty());
    fakeNow += 1;
    expire();
    ASSERT_EQ(results.values().size(), 1u);
    EXPECT_EQ(results.values()[0], (ProbeResult{loopback(family), first, 1'000 * second, ProbeResult::Lost{}}));
    EXPECT_EQ(attempts(), 1u);
    fakeNow += second;
    expire();
    ASSERT_EQ(results.values().size(), 2u);
    EXPECT_EQ(results.values()[1], (ProbeResult{loopback(family), secondSequence, 1'000 * second + second / 2, ProbeResult::Lost{}}));
    EXPECT_EQ(attempts(), 0u);
    EXPECT_EQ(openDescriptors(), descriptors);

    // Expiring together, they come oldest first. Sequences and send times run
    // in opposite orders here: the clock steps back between sends.
    for (int i = 0; i < 3; ++i) {
        send(loopback(family), target.listener.port);
        fakeNow -= second / 10;
    }
    fakeNow += 10 * second;
    expire();
    const auto list = results.values();
    ASSERT_EQ(list.size(), 5u);
    EXPECT_EQ(std::vector<std::uint16_t>({list[2].sequence, list[3].sequence, list[4].sequence}),
              std::vector<std::uint16_t>({4, 3, 2}));
}

INSTANTIATE_TEST_SUITE_P(Loopback, TCPProberFamilyTest, ::testing::Values(IPFamily::v4, IPFamily::v6),
                         [](const auto& info) { return info.param == IPFamily::v4 ? "IPv4" : "IPv6"; });

TEST_F(TCPProberTest, CancelAllAndDestructionReportNothingAndCloseEverySocket) {
    SilentTarget target(IPFamily::v4);
    SKIP_UNLESS_SILENT(target);
    Listener answering(IPFamily::v4, 8);
    make(false, {{4, ECONNREFUSED}, {6, ECONNREFUSED}});  // their reports are pending at the cancel
    const std::size_t descriptors = openDescriptors();
    queue.sync([&] {
        prober->send(loopbackV4, target.listener.port);
        prober->send(loopbackV4, answering.port);  // would complete, but not before the cancel
        prober->send(loopbackV4, answering.port);
        prober->send(loopbackV4, answering.port);
        EXPECT_EQ(prober->attemptCount(), 3u);
        prober->cancelAll();
        EXPECT_EQ(prober->attemptCount(), 0u);
    });
    EXPECT_EQ(openDescriptors(), descriptors);
    // The prober goes on with the next sequence.
    EXPECT_EQ(send(loopbackV4, answering.port), 4);
    EXPECT_TRUE(results.waitForCount(1));
    queue.sync([&] {
        prober->send(loopbackV4, answering.port);  // refusal queued for reporting
        prober->send(loopbackV4, target.listener.port);  // connecting
        prober.reset();
    });
    EXPECT_EQ(openDescriptors(), descriptors);
    std::this_thread::sleep_for(200ms);
    queue.sync([] {});
    EXPECT_EQ(results.values().size(), 1u) << "nothing after the cancel or the destruction";
}

TEST_F(TCPProberTest, FailuresToOpenOrConnectAtOnce) {
    Listener listener(IPFamily::v4, 8);
    make(true, {{1, ECONNREFUSED}, {2, ENETUNREACH}}, {{1, EMFILE}});
    const std::size_t descriptors = openDescriptors();
    // No socket: an error, and no sequence used.
    const auto error = test::errorOf([&] { send(loopbackV4, listener.port); });
    EXPECT_EQ(error, ProbeError::socket(EMFILE));
    EXPECT_EQ(std::string(error ? error->what() : ""), std::string("socket: ") + std::strerror(EMFILE));
    // Refused at once: lost, reported after send has returned.
    queue.sync([&] {
        EXPECT_EQ(prober->send(loopbackV4, listener.port), 0);
        EXPECT_TRUE(results.values().empty());
        EXPECT_EQ(prober->attemptCount(), 0u);
    });
    ASSERT_TRUE(results.waitForCount(1));
    EXPECT_EQ(results.values()[0], (ProbeResult{loopbackV4, 0, 1'000 * second, ProbeResult::Lost{}}));
    // Unreachable at once: a send error that uses up its sequence.
    EXPECT_EQ(test::errorOf([&] { send(loopbackV4, listener.port); }), ProbeError::send(ENETUNREACH));
    EXPECT_EQ(attempts(), 0u);
    EXPECT_EQ(openDescriptors(), descriptors);
    EXPECT_EQ(send(loopbackV4, listener.port), 2);
    ASSERT_TRUE(results.waitForCount(2));
    EXPECT_TRUE(results.values()[1].isReply());
}

}  // namespace
}  // namespace nerivane
