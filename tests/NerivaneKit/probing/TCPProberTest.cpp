// Connection attempts against listeners of our own on loopback (127.0.0.1
// and ::1) only; faults the kernel will not produce on loopback are injected.
#include <gtest/gtest.h>

#include <fcntl.h>

#include "support/LoopbackNetwork.h"
#include "NerivaneKit/platform/SerialQueue.h"
#include "NerivaneKit/probing/TCPProber.h"
#include "support/Recorder.h"

namespace nerivane {
namespace {

using namespace std::chrono_literals;
using test::Listener;
using test::loopbackV4;
using test::openDescriptors;
using test::SilentTarget;

constexpr std::uint64_t second = 1'000'000'000ull, start = 1'000 * second;
const ProbeResult::Outcome lost = ProbeResult::Lost{};

// A prober on its own queue; results must come on it. With a fake clock the
// test moves `fakeNow` by hand; the connect and socket calls numbered in the
// maps fail at once with that error.
class TCPProberTest : public ::testing::TestWithParam<IPFamily> {
protected:
    void SetUp() override {
        if (GetParam() == IPFamily::v6 && !test::hasIPv6Loopback()) GTEST_SKIP() << "no IPv6 loopback";
    }
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
            // The event loop opens descriptors of its own when it first watches one: before counting.
            int fds[2];
            ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
            UniqueFd spare(fds[1]);
            DescriptorSource(queue, UniqueFd(fds[0]), DescriptorSource::Readiness::read, [] {});
            prober = std::make_unique<TCPProber>(queue, 2, [this](const ProbeResult& result) {
                if (!queue.isCurrent()) offQueue = true;
                results(result);
            }, std::move(environment));
        });
        descriptors = openDescriptors();
    }
    std::uint16_t send(std::uint16_t port) { return queue.syncResult([&] { return prober->send(address, port); }); }
    std::size_t attempts() { return queue.syncResult([&] { return prober->attemptCount(); }); }
    void expire() { queue.sync([&] { prober->expire(); }); }
    void TearDown() override {
        queue.sync([&] { prober.reset(); });
        EXPECT_FALSE(offQueue.load());
    }

    const ProbeAddress address = test::loopback(GetParam());
    SerialQueue queue{"org.nerivane.Nerivane.probe"};
    test::Recorder<ProbeResult> results;
    std::atomic<bool> offQueue{false};
    std::unique_ptr<TCPProber> prober;
    std::atomic<std::uint64_t> fakeNow{start};
    std::size_t descriptors = 0;
};

TEST_P(TCPProberTest, AcceptedConnectionIsAReplyClosedWithoutDataAndARefusedOneIsLost) {
    Listener listener(GetParam(), 8);
    const std::uint16_t closed = test::closedPort(GetParam());
    make();
    const std::uint64_t before = MachClock::now();
    EXPECT_EQ(send(listener.port), 0);  // a new prober starts at 0
    ASSERT_TRUE(results.waitForCount(1));
    const ProbeResult result = results.values()[0];
    EXPECT_EQ(result, (ProbeResult{address, 0, result.sentAt, result.outcome}));
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
    EXPECT_EQ(send(closed), 1);
    ASSERT_TRUE(results.waitForCount(2));
    EXPECT_EQ(results.values()[1], (ProbeResult{address, 1, results.values()[1].sentAt, lost}));
    EXPECT_EQ(attempts(), 0u);
    connection.reset();
    EXPECT_EQ(openDescriptors(), descriptors);
}

TEST_P(TCPProberTest, SilentAttemptsAreLostOldestFirstOnTheFirstExpireAfterTheTimeOut) {
    SilentTarget target(GetParam());
    if (!target.silent) GTEST_SKIP() << "the kernel answered every connection";
    make(true);
    const std::uint16_t first = send(target.listener.port);
    fakeNow += second / 2;
    const std::uint16_t next = send(target.listener.port);
    std::this_thread::sleep_for(200ms);
    fakeNow += 3 * second / 2;  // the first is exactly 2 s old: not yet over
    expire();
    EXPECT_TRUE(results.values().empty());
    fakeNow += 1;
    expire();
    EXPECT_EQ(results.values(), (std::vector<ProbeResult>{{address, first, start, lost}}));
    EXPECT_EQ(attempts(), 1u);
    fakeNow += second;
    expire();
    EXPECT_EQ(results.take(), (std::vector<ProbeResult>{{address, first, start, lost}, {address, next, start + second / 2, lost}}));
    // Expiring together, they come oldest first, although here sequences and
    // send times run in opposite orders: the clock steps back between sends.
    for (int i = 0; i < 3; ++i, fakeNow -= second / 10) send(target.listener.port);
    fakeNow += 10 * second;
    expire();
    const auto list = results.values();
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(std::vector<std::uint16_t>({list[0].sequence, list[1].sequence, list[2].sequence}),
              std::vector<std::uint16_t>({4, 3, 2}));
    EXPECT_EQ(openDescriptors(), descriptors);
}

TEST_P(TCPProberTest, CancelAllAndDestructionReportNothingAndCloseEverySocket) {
    SilentTarget target(GetParam());
    if (!target.silent) GTEST_SKIP() << "the kernel answered every connection";
    Listener answering(GetParam(), 8);
    make(false, {{4, ECONNREFUSED}, {6, ECONNREFUSED}});  // their reports are pending at the cancel
    queue.sync([&] {
        for (const auto port : {target.listener.port, answering.port, answering.port, answering.port})
            prober->send(address, port);  // the answering ones would complete, but not before the cancel
        EXPECT_EQ(prober->attemptCount(), 3u);
        prober->cancelAll();
        EXPECT_EQ(prober->attemptCount(), 0u);
    });
    EXPECT_EQ(openDescriptors(), descriptors);
    EXPECT_EQ(send(answering.port), 4) << "sequences go on";
    EXPECT_TRUE(results.waitForCount(1));
    queue.sync([&] {
        prober->send(address, answering.port);  // refusal queued for reporting
        prober->send(address, target.listener.port);  // connecting
        prober.reset();
    });
    EXPECT_EQ(openDescriptors(), descriptors);
    std::this_thread::sleep_for(200ms);
    queue.sync([] {});
    EXPECT_EQ(results.values().size(), 1u) << "nothing after the cancel or the destruction";
}

TEST_P(TCPProberTest, FailuresToOpenOrConnectAtOnce) {
    Listener listener(GetParam(), 8);
    make(true, {{1, ECONNREFUSED}, {2, ENETUNREACH}}, {{1, EMFILE}});
    // No socket: an error, and no sequence used.
    const auto error = test::errorOf([&] { send(listener.port); });
    EXPECT_EQ(error, ProbeError::socket(EMFILE));
    EXPECT_EQ(std::string(error ? error->what() : ""), std::string("socket: ") + std::strerror(EMFILE));
    // Refused at once: lost, reported after send has returned.
    queue.sync([&] {
        EXPECT_EQ(prober->send(address, listener.port), 0);
        EXPECT_TRUE(results.values().empty());
    });
    ASSERT_TRUE(results.waitForCount(1));
    EXPECT_EQ(results.values()[0], (ProbeResult{address, 0, start, lost}));
    // Unreachable at once: a send error that uses up its sequence.
    EXPECT_EQ(test::errorOf([&] { send(listener.port); }), ProbeError::send(ENETUNREACH));
    EXPECT_EQ(attempts(), 0u);
    EXPECT_EQ(send(listener.port), 2);
    ASSERT_TRUE(results.waitForCount(2));
    EXPECT_TRUE(results.values()[1].isReply());
    EXPECT_EQ(openDescriptors(), descriptors);
}

INSTANTIATE_TEST_SUITE_P(Loopback, TCPProberTest, ::testing::Values(IPFamily::v4, IPFamily::v6),
                         [](const auto& info) { return info.param == IPFamily::v4 ? "IPv4" : "IPv6"; });

}  // namespace
}  // namespace nerivane
