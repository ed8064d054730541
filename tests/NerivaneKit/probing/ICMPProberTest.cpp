// The echo prober on real sockets. Probes go only to loopback: in this
// machine's namespace (where ping sockets are usually refused, so raw sockets
// are used) and in private namespaces each test makes for itself, where the
// test decides whether ping sockets are allowed and whether the kernel or the
// test's own responder answers.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>

#include <chrono>
#include <thread>

#include "ICMPTestNetwork.h"
#include "NerivaneKit/platform/SerialQueue.h"
#include "NerivaneKit/probing/ICMPProber.h"
#include "NerivaneKit/probing/ProbeError.h"

namespace nerivane {

// Names the socket kind in test parameters and failure messages.
void PrintTo(ICMPProber::SocketKind kind, std::ostream* out) {
    *out << (kind == ICMPProber::SocketKind::ping ? "ping socket" : "raw socket");
}

namespace {

using namespace std::chrono_literals;
using test::loopback;
using test::loopbackV4;
using test::loopbackV6;
using Results = std::vector<ProbeResult>;
using SocketKind = ICMPProber::SocketKind;

// A prober on its own queue; the results it reports are collected on the
// queue and handed out by the calls below.
class Harness {
public:
    explicit Harness(bool readsOnArrival = false, double timeout = 2.0, ICMPProber::Environment environment = {}) {
        queue.sync([&] {
            prober = std::make_unique<ICMPProber>(
                queue, readsOnArrival, timeout, [this](const ProbeResult& result) { results_.push_back(result); },
                std::move(environment));
        });
    }
    ~Harness() { destroy(); }

    void destroy() {
        queue.sync([&] { prober.reset(); });
    }

    std::uint16_t send(const ProbeAddress& address) {
        return queue.syncResult([&] { return prober->send(address); });
    }
    Results poll() { return run([&] { prober->poll(); }); }
    Results drain() { return run([&] { prober->drain(); }); }
    Results reset() { return run([&] { prober->reset(); }); }
    void close() {
        queue.sync([&] { prober->close(); });
    }
    // What arrived without being asked for (reads on arrival).
    Results collected() { return run([] {}); }

    // Drains until `count` results came, for at most a few seconds: a
    // loopback reply needs a moment to cross the stack.
    Results drainUntil(std::size_t count) { return waitFor(count, [&] { prober->drain(); }); }
    Results collectedUntil(std::size_t count) {
        return waitFor(count, [] {});
    }

    std::optional<SocketKind> socketKind(IPFamily family) {
        return queue.syncResult([&] { return prober->socketKind(family); });
    }
    PendingProbes pending() {
        return queue.syncResult([&] { return prober->pending(); });
    }
    std::uint16_t nextSequence() {
        return queue.syncResult([&] { return prober->nextSequence(); });
    }

    SerialQueue queue{"org.nerivane.Nerivane.test.probe"};
    std::unique_ptr<ICMPProber> prober;

private:
    Results run(const std::function<void()>& work) {
        return queue.syncResult([&] {
            work();
            return std::exchange(results_, {});
        });
    }
    Results waitFor(std::size_t count, const std::function<void()>& work) {
        Results all;
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (all.size() < count && std::chrono::steady_clock::now() < deadline) {
            for (auto& result : run(work)) all.push_back(result);
            if (all.size() < count) std::this_thread::sleep_for(2ms);
        }
        return all;
    }

    std::vector<ProbeResult> results_;  // touched only on the queue
};

int openDescriptors() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir) != nullptr) ++count;
        closedir(dir);
    }
    return count;
}

void expectReply(const ProbeResult& result, const ProbeAddress& address, std::uint16_t sequence,
                 double below = 1000) {
    EXPECT_TRUE(result.isReply()) << "sequence " << sequence;
    EXPECT_EQ(result.address, address);
    EXPECT_EQ(result.sequence, sequence);
    EXPECT_GE(result.milliseconds().value_or(-1), 0.0);
    EXPECT_LT(result.milliseconds().value_or(1e9), below);
}

// --- In this machine's own namespace: loopback only. ---

TEST(ICMPProberHere, EchoesLoopbackThroughTheSocketKindThisSystemAllows) {
    Harness harness;
    const SocketKind expected = test::pingSocketsAllowedHere() ? SocketKind::ping : SocketKind::raw;
    std::uint16_t v4 = 0;
    try {
        v4 = harness.send(loopbackV4);
    } catch (const ProbeError& error) {
        GTEST_SKIP() << "neither a ping socket (our group is outside net.ipv4.ping_group_range) nor a raw socket "
                        "(needs CAP_NET_RAW) can be opened: "
                     << error.what();
    }
    EXPECT_EQ(harness.socketKind(IPFamily::v4), expected);
    const std::uint16_t v6 = harness.send(loopbackV6);
    EXPECT_EQ(harness.socketKind(IPFamily::v6), expected);
    EXPECT_EQ(v6, static_cast<std::uint16_t>(v4 + 1));

    // Replies are read long after they came; their times are still the
    // arrival's, not the reading's.
    std::this_thread::sleep_for(200ms);
    Results results = harness.poll();
    if (results.size() < 2) {
        for (auto& result : harness.drainUntil(2 - results.size())) results.push_back(result);
    }
    ASSERT_EQ(results.size(), 2u);
    std::sort(results.begin(), results.end(), [](auto& a, auto& b) { return a.address.family < b.address.family; });
    expectReply(results[0], loopbackV4, v4, 50);
    expectReply(results[1], loopbackV6, v6, 50);
    EXPECT_TRUE(harness.pending().inFlight.empty());
}

TEST(ICMPProberHere, SocketAndSendFailuresLeaveNothingPending) {
    // Fault injection without any traffic: the first opening fails, the
    // second yields a descriptor that cannot send (a pipe).
    int opened = 0;
    int pipeEnds[2] = {-1, -1};
    ASSERT_EQ(pipe2(pipeEnds, O_CLOEXEC), 0);
    UniqueFd readEnd(pipeEnds[0]);
    UniqueFd writeEnd(pipeEnds[1]);
    ICMPProber::Environment environment;
    environment.openSocket = [&](IPFamily) -> ICMPProber::OpenedSocket {
        if (++opened == 1) throw ProbeError::socket(EACCES);
        return {std::move(writeEnd), SocketKind::raw};
    };
    Harness harness(false, 2.0, environment);
    const std::uint16_t first = harness.nextSequence();

    try {
        harness.send(loopbackV4);
        FAIL() << "send without a socket succeeded";
    } catch (const ProbeError& error) {
        EXPECT_EQ(error, ProbeError::socket(EACCES));
        EXPECT_STREQ(error.what(), "socket: Permission denied");
    }
    EXPECT_EQ(harness.nextSequence(), first) << "no socket: no sequence used";
    EXPECT_EQ(harness.socketKind(IPFamily::v4), std::nullopt);

    try {
        harness.send(loopbackV4);
        FAIL() << "send on a pipe succeeded";
    } catch (const ProbeError& error) {
        EXPECT_EQ(error, ProbeError::send(ENOTSOCK));
    }
    EXPECT_EQ(harness.nextSequence(), static_cast<std::uint16_t>(first + 1)) << "a failed send uses its sequence";
    EXPECT_EQ(harness.socketKind(IPFamily::v4), SocketKind::raw) << "the opened socket is kept";
    EXPECT_THROW(harness.send(loopbackV4), ProbeError);
    EXPECT_EQ(opened, 2);
    EXPECT_TRUE(harness.pending().inFlight.empty());
    EXPECT_TRUE(harness.poll().empty());

    // The prober made the descriptor it was given non-blocking.
    const int flags = fcntl(pipeEnds[1], F_GETFL);
    EXPECT_TRUE(flags >= 0 && (flags & O_NONBLOCK));
}

// --- In a private namespace, for each socket kind. ---

class ICMPProberInPrivateNetwork : public ::testing::TestWithParam<SocketKind> {
protected:
    void inNetwork(bool kernelAnswersEcho, const std::function<void()>& body) {
        test::PrivateNetwork settings;
        settings.pingSocketsAllowed = GetParam() == SocketKind::ping;
        settings.kernelAnswersEcho = kernelAnswersEcho;
        if (auto failure = test::runInPrivateNetwork(settings, body)) GTEST_SKIP() << *failure;
    }
};

TEST_P(ICMPProberInPrivateNetwork, EchoesLoopbackInBothFamilies) {
    inNetwork(true, [&] {
        Harness harness;
        const std::uint16_t identifier = harness.prober->identifier();
        for (IPFamily family : {IPFamily::v4, IPFamily::v6}) {
            const std::uint16_t sequence = harness.send(loopback(family));
            EXPECT_EQ(harness.socketKind(family), GetParam());
            const Results results = harness.drainUntil(1);
            ASSERT_EQ(results.size(), 1u);
            expectReply(results[0], loopback(family), sequence);
        }
        EXPECT_EQ(harness.prober->identifier(), identifier);
        EXPECT_EQ(harness.pending(), ([] {
                      PendingProbes empty;
                      empty.timeout = 2'000'000'000;
                      empty.lateWindow = 30'000'000'000;
                      return empty;
                  })());
    });
}

TEST_P(ICMPProberInPrivateNetwork, TimesRepliesByArrivalNotByReading) {
    inNetwork(true, [&] {
        Harness harness;
        const std::uint16_t v4 = harness.send(loopbackV4);
        const std::uint16_t v6 = harness.send(loopbackV6);
        std::this_thread::sleep_for(200ms);
        Results results = harness.poll();
        ASSERT_EQ(results.size(), 2u);
        std::sort(results.begin(), results.end(), [](auto& a, auto& b) { return a.sentAt < b.sentAt; });
        expectReply(results[0], loopbackV4, v4, 50);
        expectReply(results[1], loopbackV6, v6, 50);
    });
}

TEST_P(ICMPProberInPrivateNetwork, ReadsRepliesOnArrivalWhenAsked) {
    inNetwork(true, [&] {
        Harness harness(true);
        const std::uint16_t v4 = harness.send(loopbackV4);
        Results results = harness.collectedUntil(1);
        ASSERT_EQ(results.size(), 1u) << "no reply came in without polling";
        expectReply(results[0], loopbackV4, v4);
        const std::uint16_t v6 = harness.send(loopbackV6);
        results = harness.collectedUntil(1);
        ASSERT_EQ(results.size(), 1u);
        expectReply(results[0], loopbackV6, v6);
    });
}

TEST_P(ICMPProberInPrivateNetwork, IgnoresForeignCorruptedAndStrayReplies) {
    inNetwork(false, [&] {
        Harness harness;
        for (IPFamily family : {IPFamily::v4, IPFamily::v6}) {
            test::EchoResponder responder(family);
            const std::uint16_t sequence = harness.send(loopback(family));
            const auto request = responder.nextRequest();
            ASSERT_TRUE(request);
            EXPECT_EQ(request->sequence, sequence);

            auto foreign = *request;
            foreign.token ^= 0x8000'0000'0000'0001ull;
            responder.reply(foreign);
            auto stray = *request;
            stray.sequence = static_cast<std::uint16_t>(sequence + 100);
            responder.reply(stray);
            if (family == IPFamily::v4) {
                responder.reply(*request, true);
                test::EchoResponder otherHost(family, ProbeAddress::v4({127, 0, 0, 2}));
                otherHost.reply(*request);
            }
            responder.reply(*request);
            responder.reply(*request);  // a duplicate

            const Results results = harness.drainUntil(1);
            ASSERT_EQ(results.size(), 1u);
            expectReply(results[0], loopback(family), sequence);
            std::this_thread::sleep_for(50ms);
            EXPECT_EQ(harness.drain(), Results{});
        }
    });
}

TEST_P(ICMPProberInPrivateNetwork, ReportsLostThenLateForSlowReplies) {
    inNetwork(false, [&] {
        const double timeout = 0.3;
        Harness harness(false, timeout);
        test::EchoResponder responder(IPFamily::v4);

        // Answered after the time-out, read before any expiry: lost, then late.
        const std::uint16_t first = harness.send(loopbackV4);
        auto request = responder.nextRequest();
        ASSERT_TRUE(request);
        std::this_thread::sleep_for(400ms);
        responder.reply(*request);
        Results results = harness.drainUntil(2);
        ASSERT_EQ(results.size(), 2u);
        EXPECT_TRUE(results[0].isLost());
        EXPECT_TRUE(results[1].isLate());
        EXPECT_EQ(results[0].sequence, first);
        EXPECT_EQ(results[1].sequence, first);
        EXPECT_EQ(results[0].sentAt, results[1].sentAt);
        EXPECT_GT(results[1].milliseconds().value_or(0), timeout * 1000);
        EXPECT_LT(results[1].milliseconds().value_or(1e9), 30'000);

        // Expired first, answered later: lost at expiry, late on arrival.
        const std::uint16_t second = harness.send(loopbackV4);
        request = responder.nextRequest();
        ASSERT_TRUE(request);
        std::this_thread::sleep_for(400ms);
        results = harness.poll();
        ASSERT_EQ(results.size(), 1u);
        EXPECT_TRUE(results[0].isLost());
        EXPECT_EQ(results[0].sequence, second);
        responder.reply(*request);
        results = harness.drainUntil(1);
        ASSERT_EQ(results.size(), 1u);
        EXPECT_TRUE(results[0].isLate());
        EXPECT_GT(results[0].milliseconds().value_or(0), timeout * 1000);
    });
}

TEST_P(ICMPProberInPrivateNetwork, ResetReportsWaitingRepliesAndForgetsTheRest) {
    inNetwork(false, [&] {
        Harness harness(false, 0.3);
        test::EchoResponder responder(IPFamily::v6);
        const std::uint16_t answered = harness.send(loopbackV6);
        const auto answeredRequest = responder.nextRequest();
        const std::uint16_t unanswered = harness.send(loopbackV6);
        const auto unansweredRequest = responder.nextRequest();
        ASSERT_TRUE(answeredRequest && unansweredRequest);
        EXPECT_EQ(unansweredRequest->sequence, unanswered);
        responder.reply(*answeredRequest);
        std::this_thread::sleep_for(100ms);  // lets the reply land in the socket

        const Results results = harness.reset();
        ASSERT_EQ(results.size(), 1u);
        expectReply(results[0], loopbackV6, answered);
        EXPECT_TRUE(harness.pending().inFlight.empty());

        std::this_thread::sleep_for(400ms);
        EXPECT_EQ(harness.poll(), Results{}) << "the forgotten probe must not be reported lost";
        responder.reply(*unansweredRequest);
        std::this_thread::sleep_for(50ms);
        EXPECT_EQ(harness.drain(), Results{}) << "nor its reply late";
        EXPECT_EQ(harness.nextSequence(), static_cast<std::uint16_t>(unanswered + 1)) << "sequences run on";
    });
}

TEST_P(ICMPProberInPrivateNetwork, SequenceWrapsAfter65535) {
    inNetwork(true, [&] {
        std::uint64_t draws = 0;
        ICMPProber::Environment environment;
        environment.random = [&] { return ++draws == 2 ? 65535 : draws * 0x0101'0101'0101'0101ull; };
        Harness harness(false, 2.0, environment);
        EXPECT_EQ(harness.send(loopbackV4), 65535);
        EXPECT_EQ(harness.send(loopbackV4), 0);
        EXPECT_EQ(harness.nextSequence(), 1);
        Results results = harness.drainUntil(2);
        ASSERT_EQ(results.size(), 2u);
        std::sort(results.begin(), results.end(), [](auto& a, auto& b) { return a.sentAt < b.sentAt; });
        expectReply(results[0], loopbackV4, 65535);
        expectReply(results[1], loopbackV4, 0);
    });
}

TEST_P(ICMPProberInPrivateNetwork, CloseAndDestructionCloseEveryDescriptor) {
    inNetwork(true, [&] {
        for (bool readsOnArrival : {false, true}) {
            SCOPED_TRACE(readsOnArrival ? "reads on arrival" : "reads when asked");
            const int beforeProber = openDescriptors();
            {
                Harness harness(readsOnArrival);
                // The queue's event loop opens its own descriptors on first
                // use of a read source; they belong to the queue, not to us.
                harness.send(loopbackV4);
                EXPECT_EQ((readsOnArrival ? harness.collectedUntil(1) : harness.drainUntil(1)).size(), 1u);
                harness.close();
                const int before = openDescriptors();

                harness.send(loopbackV4);
                harness.send(loopbackV6);
                EXPECT_EQ(openDescriptors(), before + 2);
                harness.send(loopbackV4);  // the socket is reused
                EXPECT_EQ(openDescriptors(), before + 2);
                if (readsOnArrival) {
                    EXPECT_EQ(harness.collectedUntil(3).size(), 3u);
                }

                harness.close();
                EXPECT_EQ(openDescriptors(), before);
                EXPECT_EQ(harness.socketKind(IPFamily::v4), std::nullopt);
                EXPECT_TRUE(harness.pending().inFlight.empty());
                std::this_thread::sleep_for(50ms);
                EXPECT_EQ(harness.poll(), Results{}) << "close reports nothing";

                const std::uint16_t again = harness.send(loopbackV4);  // opens anew
                EXPECT_EQ(openDescriptors(), before + 1);
                Results results = readsOnArrival ? harness.collectedUntil(1) : harness.drainUntil(1);
                ASSERT_EQ(results.size(), 1u);
                expectReply(results[0], loopbackV4, again);
                harness.send(loopbackV6);
                harness.destroy();
                EXPECT_EQ(openDescriptors(), before);
            }
            EXPECT_EQ(openDescriptors(), beforeProber);
        }
    });
}

INSTANTIATE_TEST_SUITE_P(SocketKinds, ICMPProberInPrivateNetwork, ::testing::Values(SocketKind::ping, SocketKind::raw),
                         [](const auto& info) { return info.param == SocketKind::ping ? "ping" : "raw"; });

}  // namespace
}  // namespace nerivane
