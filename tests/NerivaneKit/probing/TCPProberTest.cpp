// Connection attempts against listeners of our own on loopback (127.0.0.1
// and ::1) only; faults the kernel will not produce on loopback are injected.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "NerivaneKit/platform/SerialQueue.h"
#include "NerivaneKit/platform/UniqueFd.h"
#include "NerivaneKit/probing/ProbeError.h"
#include "NerivaneKit/probing/TCPProber.h"

namespace nerivane {
namespace {

using namespace std::chrono_literals;

constexpr std::uint64_t second = 1'000'000'000ull;

ProbeAddress loopback(IPFamily family) {
    if (family == IPFamily::v4) return ProbeAddress::v4({127, 0, 0, 1});
    std::array<std::uint8_t, 16> bytes{};
    bytes[15] = 1;
    return ProbeAddress::v6(bytes);
}

std::size_t openDescriptors() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++count;
    return count;
}

bool hasIPv6Loopback() {
    UniqueFd socket(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket) return false;
    socklen_t length = 0;
    const auto address = loopback(IPFamily::v6).socketAddress(0, length);
    return ::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), length) == 0;
}

// A listening socket on a loopback address with a port of the kernel's choice.
struct Listener {
    UniqueFd socket;
    std::uint16_t port = 0;

    Listener(IPFamily family, int backlog) {
        socket.reset(::socket(family == IPFamily::v4 ? AF_INET : AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
        socklen_t length = 0;
        auto address = loopback(family).socketAddress(0, length);
        EXPECT_EQ(::bind(socket.get(), reinterpret_cast<sockaddr*>(&address), length), 0);
        EXPECT_EQ(::listen(socket.get(), backlog), 0);
        EXPECT_EQ(::getsockname(socket.get(), reinterpret_cast<sockaddr*>(&address), &length), 0);
        port = ntohs(family == IPFamily::v4 ? reinterpret_cast<sockaddr_in*>(&address)->sin_port
                                            : reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
    }

    // The next queued connection, waiting up to a few seconds.
    UniqueFd accept() const {
        pollfd ready{socket.get(), POLLIN, 0};
        if (::poll(&ready, 1, 5000) != 1) return UniqueFd();
        return UniqueFd(::accept4(socket.get(), nullptr, nullptr, SOCK_CLOEXEC));
    }
};

// A port on which nothing listens: bound to learn a free port, then closed.
std::uint16_t closedPort(IPFamily family) { return Listener(family, 1).port; }

// A loopback listener that never answers new connections: its accept queue
// is full (backlog 0, one connection held and never accepted), so the kernel
// drops further SYNs and the attempts stay pending. False if the kernel
// would not fill it.
struct SilentTarget {
    Listener listener;
    std::vector<UniqueFd> fillers;
    bool silent = false;

    explicit SilentTarget(IPFamily family) : listener(family, 0) {
        for (int i = 0; i < 8 && !silent; ++i) {
            UniqueFd socket(::socket(family == IPFamily::v4 ? AF_INET : AF_INET6,
                                     SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
            socklen_t length = 0;
            const auto address = loopback(family).socketAddress(listener.port, length);
            ::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), length);
            pollfd ready{socket.get(), POLLOUT, 0};
            if (::poll(&ready, 1, 300) == 1) fillers.push_back(std::move(socket));
            else silent = true;  // this SYN was dropped: the queue is full
        }
    }
};

// Collects results, noting any delivered off the queue.
struct Results {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<ProbeResult> list;
    std::atomic<bool> offQueue{false};

    void add(const ProbeResult& result) {
        std::lock_guard lock(mutex);
        list.push_back(result);
        changed.notify_all();
    }
    bool waitFor(std::size_t count, std::chrono::milliseconds limit = 5s) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, limit, [&] { return list.size() >= count; });
    }
    std::vector<ProbeResult> snapshot() {
        std::lock_guard lock(mutex);
        return list;
    }
};

// A prober on its own queue, made and destroyed there.
class TCPProberTest : public ::testing::Test {
protected:
    SerialQueue queue{"org.nerivane.Nerivane.probe"};
    Results results;
    std::unique_ptr<TCPProber> prober;
    std::atomic<std::uint64_t> fakeNow{1'000 * second};

    void make(double timeout, TCPProber::Environment environment = {}) {
        queue.sync([&] {
            // The event loop opens descriptors of its own (epoll, eventfd,
            // timerfd) when it first watches one; do that before counting.
            int fds[2];
            ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
            UniqueFd spare(fds[1]);
            DescriptorSource(queue, UniqueFd(fds[0]), DescriptorSource::Readiness::read, [] {});
            prober = std::make_unique<TCPProber>(
                queue, timeout,
                [this](const ProbeResult& result) {
                    if (!queue.isCurrent()) results.offQueue = true;
                    results.add(result);
                },
                std::move(environment));
        });
    }
    void makeWithFakeClock(double timeout, TCPProber::Environment environment = {}) {
        environment.now = [this] { return fakeNow.load(); };
        make(timeout, std::move(environment));
    }
    std::uint16_t send(const ProbeAddress& address, std::uint16_t port) {
        return queue.syncResult([&] { return prober->send(address, port); });
    }
    std::size_t attempts() {
        return queue.syncResult([&] { return prober->attemptCount(); });
    }
    void TearDown() override {
        queue.sync([&] { prober.reset(); });
        EXPECT_FALSE(results.offQueue.load());
    }
};

class TCPProberFamilyTest : public TCPProberTest, public ::testing::WithParamInterface<IPFamily> {
protected:
    void SetUp() override {
        if (GetParam() == IPFamily::v6 && !hasIPv6Loopback()) GTEST_SKIP() << "no IPv6 loopback";
    }
};

TEST_P(TCPProberFamilyTest, AcceptedConnectionIsAReplyAndIsClosedWithoutData) {
    const IPFamily family = GetParam();
    Listener listener(family, 8);
    make(2);
    const std::uint64_t before = MachClock::now();
    const std::uint16_t sequence = send(loopback(family), listener.port);
    EXPECT_EQ(sequence, 0);  // a new prober starts at 0

    ASSERT_TRUE(results.waitFor(1));
    const ProbeResult result = results.snapshot()[0];
    EXPECT_EQ(result.address, loopback(family));
    EXPECT_EQ(result.sequence, 0);
    EXPECT_GE(result.sentAt, before);
    ASSERT_TRUE(result.isReply());
    EXPECT_GE(*result.milliseconds(), 0.0);
    EXPECT_LT(*result.milliseconds(), 2000.0);
    EXPECT_LE(result.sentAt + MachClock::ticks(*result.milliseconds() / 1000), MachClock::now());
    EXPECT_EQ(attempts(), 0u);

    // The listener sees the connection and then its orderly end, no bytes.
    UniqueFd connection = listener.accept();
    ASSERT_TRUE(connection);
    pollfd readable{connection.get(), POLLIN, 0};
    ASSERT_EQ(::poll(&readable, 1, 5000), 1);
    char buffer[16];
    EXPECT_EQ(::recv(connection.get(), buffer, sizeof buffer, 0), 0);

    // The next attempt takes the next sequence.
    EXPECT_EQ(send(loopback(family), listener.port), 1);
    ASSERT_TRUE(results.waitFor(2));
    EXPECT_EQ(results.snapshot()[1].sequence, 1);
}

TEST_P(TCPProberFamilyTest, RefusedConnectionIsLost) {
    const IPFamily family = GetParam();
    const std::uint16_t port = closedPort(family);
    make(2);
    const std::size_t descriptors = openDescriptors();
    const std::uint16_t sequence = send(loopback(family), port);

    // Loopback reports the refusal through the socket error a moment later.
    ASSERT_TRUE(results.waitFor(1));
    const ProbeResult result = results.snapshot()[0];
    EXPECT_EQ(result.sequence, sequence);
    EXPECT_EQ(result.address, loopback(family));
    EXPECT_TRUE(result.isLost());
    EXPECT_EQ(attempts(), 0u);
    EXPECT_EQ(openDescriptors(), descriptors);
}

TEST_P(TCPProberFamilyTest, SilentTargetIsLostOnTheFirstExpireAfterTheTimeOut) {
    const IPFamily family = GetParam();
    SilentTarget target(family);
    if (!target.silent) GTEST_SKIP() << "the kernel answered every connection";
    makeWithFakeClock(2);
    const std::size_t descriptors = openDescriptors();

    const std::uint16_t first = send(loopback(family), target.listener.port);
    fakeNow += second / 2;
    const std::uint16_t second_ = send(loopback(family), target.listener.port);
    EXPECT_EQ(attempts(), 2u);

    // Not answered, and not expired while within the time-out.
    std::this_thread::sleep_for(200ms);
    fakeNow += 3 * second / 2;  // the first is exactly 2 s old: not yet over
    queue.sync([&] { prober->expire(); });
    EXPECT_TRUE(results.snapshot().empty());

    fakeNow += 1;
    queue.sync([&] { prober->expire(); });
    ASSERT_EQ(results.snapshot().size(), 1u);
    EXPECT_EQ(results.snapshot()[0], (ProbeResult{loopback(family), first, 1'000 * second, ProbeResult::Lost{}}));
    EXPECT_EQ(attempts(), 1u);

    fakeNow += second;
    queue.sync([&] { prober->expire(); });
    ASSERT_EQ(results.snapshot().size(), 2u);
    EXPECT_EQ(results.snapshot()[1].sequence, second_);
    EXPECT_TRUE(results.snapshot()[1].isLost());
    EXPECT_EQ(attempts(), 0u);
    EXPECT_EQ(openDescriptors(), descriptors);
}

INSTANTIATE_TEST_SUITE_P(Loopback, TCPProberFamilyTest, ::testing::Values(IPFamily::v4, IPFamily::v6),
                         [](const auto& info) { return info.param == IPFamily::v4 ? "IPv4" : "IPv6"; });

TEST_F(TCPProberTest, ExpiryWithTheRealClockAndATinyTimeOut) {
    SilentTarget target(IPFamily::v4);
    if (!target.silent) GTEST_SKIP() << "the kernel answered every connection";
    make(0.001);
    send(loopback(IPFamily::v4), target.listener.port);
    std::this_thread::sleep_for(20ms);
    queue.sync([&] { prober->expire(); });
    ASSERT_EQ(results.snapshot().size(), 1u);
    EXPECT_TRUE(results.snapshot()[0].isLost());
}

TEST_F(TCPProberTest, AttemptsExpiringTogetherAreReportedOldestFirst) {
    SilentTarget target(IPFamily::v4);
    if (!target.silent) GTEST_SKIP() << "the kernel answered every connection";
    makeWithFakeClock(2);
    // Sequences and send times run in opposite orders here: the clock steps
    // back between sends (the map is ordered by sequence, not by age).
    std::vector<std::uint16_t> sequences;
    for (int i = 0; i < 3; ++i) {
        sequences.push_back(send(loopback(IPFamily::v4), target.listener.port));
        fakeNow -= second / 10;
    }
    fakeNow += 10 * second;
    queue.sync([&] { prober->expire(); });
    const auto list = results.snapshot();
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].sequence, sequences[2]);
    EXPECT_EQ(list[1].sequence, sequences[1]);
    EXPECT_EQ(list[2].sequence, sequences[0]);
}

TEST_F(TCPProberTest, CancelAllReportsNothingAndClosesEverySocket) {
    SilentTarget target(IPFamily::v4);
    if (!target.silent) GTEST_SKIP() << "the kernel answered every connection";
    Listener answering(IPFamily::v4, 8);
    TCPProber::Environment environment;
    int connects = 0;
    // The fourth attempt is refused at once; its report is pending when
    // everything is cancelled.
    environment.connect = [&connects](int fd, const sockaddr* address, socklen_t length) {
        if (++connects == 4) {
            errno = ECONNREFUSED;
            return -1;
        }
        return ::connect(fd, address, length);
    };
    make(2, std::move(environment));
    const std::size_t descriptors = openDescriptors();

    queue.sync([&] {
        prober->send(loopback(IPFamily::v4), target.listener.port);
        prober->send(loopback(IPFamily::v4), target.listener.port);
        prober->send(loopback(IPFamily::v4), answering.port);  // would complete, but not before the cancel
        prober->send(loopback(IPFamily::v4), answering.port);
        EXPECT_EQ(prober->attemptCount(), 3u);
        prober->cancelAll();
        EXPECT_EQ(prober->attemptCount(), 0u);
    });
    EXPECT_EQ(openDescriptors(), descriptors);
    std::this_thread::sleep_for(200ms);
    queue.sync([&] { prober->expire(); });
    EXPECT_TRUE(results.snapshot().empty());

    // The prober goes on with the next sequence.
    EXPECT_EQ(send(loopback(IPFamily::v4), answering.port), 4);
    EXPECT_TRUE(results.waitFor(1));
}

TEST_F(TCPProberTest, SocketFailureUsesNoSequence) {
    TCPProber::Environment environment;
    bool fail = true;
    environment.openSocket = [&fail](int domain, int type, int protocol) {
        if (fail) {
            errno = EMFILE;
            return -1;
        }
        return ::socket(domain, type, protocol);
    };
    make(2, std::move(environment));
    try {
        send(loopback(IPFamily::v4), 443);
        FAIL() << "no error";
    } catch (const ProbeError& error) {
        EXPECT_EQ(error, ProbeError::socket(EMFILE));
        EXPECT_EQ(std::string(error.what()), std::string("socket: ") + std::strerror(EMFILE));
    }
    fail = false;
    Listener listener(IPFamily::v4, 8);
    EXPECT_EQ(send(loopback(IPFamily::v4), listener.port), 0);
    EXPECT_TRUE(results.waitFor(1));
}

TEST_F(TCPProberTest, ImmediateConnectFailureIsASendErrorThatUsesUpTheSequence) {
    TCPProber::Environment environment;
    bool fail = true;
    environment.connect = [&fail](int fd, const sockaddr* address, socklen_t length) {
        if (fail) {
            errno = ENETUNREACH;
            return -1;
        }
        return ::connect(fd, address, length);
    };
    make(2, std::move(environment));
    const std::size_t descriptors = openDescriptors();
    try {
        send(loopback(IPFamily::v4), 443);
        FAIL() << "no error";
    } catch (const ProbeError& error) {
        EXPECT_EQ(error, ProbeError::send(ENETUNREACH));
    }
    EXPECT_EQ(openDescriptors(), descriptors);
    EXPECT_EQ(attempts(), 0u);
    fail = false;
    Listener listener(IPFamily::v4, 8);
    EXPECT_EQ(send(loopback(IPFamily::v4), listener.port), 1);
    EXPECT_TRUE(results.waitFor(1));
    EXPECT_TRUE(results.snapshot().front().isReply());
}

TEST_F(TCPProberTest, ImmediateRefusalIsLostAndReportedAfterSendReturns) {
    TCPProber::Environment environment;
    environment.connect = [](int, const sockaddr*, socklen_t) {
        errno = ECONNREFUSED;
        return -1;
    };
    makeWithFakeClock(2, std::move(environment));
    const std::size_t descriptors = openDescriptors();
    queue.sync([&] {
        EXPECT_EQ(prober->send(loopback(IPFamily::v4), 443), 0);
        EXPECT_TRUE(results.snapshot().empty());  // not from inside send
        EXPECT_EQ(prober->attemptCount(), 0u);
    });
    ASSERT_TRUE(results.waitFor(1));
    EXPECT_EQ(results.snapshot()[0], (ProbeResult{loopback(IPFamily::v4), 0, 1'000 * second, ProbeResult::Lost{}}));
    EXPECT_EQ(openDescriptors(), descriptors);
}

TEST_F(TCPProberTest, ADestroyedProbersPendingHandlersDoNothing) {
    Listener listener(IPFamily::v4, 8);
    TCPProber::Environment environment;
    int connects = 0;
    environment.connect = [&connects](int fd, const sockaddr* address, socklen_t length) {
        if (++connects == 1) {
            errno = ECONNREFUSED;
            return -1;
        }
        return ::connect(fd, address, length);
    };
    make(2, std::move(environment));
    const std::size_t descriptors = openDescriptors();
    queue.sync([&] {
        prober->send(loopback(IPFamily::v4), listener.port);  // refusal queued for reporting
        prober->send(loopback(IPFamily::v4), listener.port);  // connecting
        prober.reset();
    });
    EXPECT_EQ(openDescriptors(), descriptors);
    std::this_thread::sleep_for(200ms);
    queue.sync([] {});
    EXPECT_TRUE(results.snapshot().empty());
}

TEST_F(TCPProberTest, AResultHandlerMayCancelTheRestOrDestroyTheProber) {
    SilentTarget target(IPFamily::v4);
    if (!target.silent) GTEST_SKIP() << "the kernel answered every connection";
    std::vector<ProbeResult> seen;
    bool destroy = false;
    queue.sync([&] {
        prober = std::make_unique<TCPProber>(
            queue, 2,
            [&](const ProbeResult& result) {
                seen.push_back(result);
                if (destroy) prober.reset();
                else prober->cancelAll();
            },
            TCPProber::Environment{[this] { return fakeNow.load(); }});
        for (int i = 0; i < 3; ++i) prober->send(loopback(IPFamily::v4), target.listener.port);
        fakeNow += 3 * second;
        prober->expire();  // the first report cancels the other two
        EXPECT_EQ(seen.size(), 1u);
        EXPECT_EQ(prober->attemptCount(), 0u);

        for (int i = 0; i < 3; ++i) prober->send(loopback(IPFamily::v4), target.listener.port);
        fakeNow += 3 * second;
        destroy = true;
        prober->expire();  // the first report destroys the prober
        EXPECT_EQ(seen.size(), 2u);
        EXPECT_EQ(prober, nullptr);
    });
}

TEST(TCPProberDeathTest, OperationsOffTheQueueAreAProgrammingError) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    SerialQueue queue("org.nerivane.Nerivane.probe");
    std::unique_ptr<TCPProber> prober;
    queue.sync([&] { prober = std::make_unique<TCPProber>(queue, 2, [](const ProbeResult&) {}); });
    EXPECT_DEATH(prober->send(loopback(IPFamily::v4), 443), "not on queue");
    EXPECT_DEATH(prober->expire(), "not on queue");
    EXPECT_DEATH(prober->cancelAll(), "not on queue");
    queue.sync([&] { prober.reset(); });
}

}  // namespace
}  // namespace nerivane
