// The echo prober on real sockets. Probes go only to loopback in private
// namespaces each test makes for itself, where the test decides whether ping
// sockets are allowed and whether the kernel or the test's own responder
// answers; faults the kernel will not produce are injected. Replies that are
// late, corrupted, foreign or duplicated are covered by the lab tests.
#include <gtest/gtest.h>

#include <fcntl.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "support/LoopbackNetwork.h"
#include "NerivaneKit/platform/SerialQueue.h"
#include "NerivaneKit/probing/ICMPProber.h"
#include "NerivaneKit/probing/ProbeError.h"
#include "support/Recorder.h"

namespace nerivane {
namespace {

using namespace std::chrono_literals;
using test::loopbackV4;
using test::loopbackV6;
using test::openDescriptors;
using Results = std::vector<ProbeResult>;
using SocketKind = ICMPProber::SocketKind;

// A prober on its own queue; the calls that run it hand out the results
// reported since the last such call.
struct Harness {
    explicit Harness(bool readsOnArrival = false, double timeout = 2.0, ICMPProber::Environment environment = {}) {
        queue.sync([&] {
            prober = std::make_unique<ICMPProber>(queue, readsOnArrival, timeout, std::ref(results), std::move(environment));
        });
    }
    ~Harness() { destroy(); }
    void destroy() { queue.sync([&] { prober.reset(); }); }

    std::uint16_t send(const ProbeAddress& address) { return queue.syncResult([&] { return prober->send(address); }); }
    std::uint16_t nextSequence() { return queue.syncResult([&] { return prober->nextSequence(); }); }
    std::optional<SocketKind> socketKind(IPFamily family) {
        return queue.syncResult([&] { return prober->socketKind(family); });
    }
    PendingProbes pending() { return queue.syncResult([&] { return prober->pending(); }); }
    Results run(void (ICMPProber::*step)()) {
        queue.sync([&] { ((*prober).*step)(); });
        return results.take();
    }
    // Waits up to a few seconds for `count` results (a loopback reply needs a
    // moment to cross the stack), draining unless the prober reads on arrival.
    Results until(std::size_t count, bool drain = true) {
        Results all;
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (all.size() < count && std::chrono::steady_clock::now() < deadline) {
            for (auto& result : drain ? run(&ICMPProber::drain) : results.take()) all.push_back(result);
            if (all.size() < count) std::this_thread::sleep_for(2ms);
        }
        return all;
    }

    SerialQueue queue{"org.nerivane.Nerivane.test.probe"};
    test::Recorder<ProbeResult> results;
    std::unique_ptr<ICMPProber> prober;
};

void expectReply(const ProbeResult& result, const ProbeAddress& address, std::uint16_t sequence, double below = 1000) {
    EXPECT_TRUE(result.isReply()) << "sequence " << sequence;
    EXPECT_EQ(result.address, address);
    EXPECT_EQ(result.sequence, sequence);
    EXPECT_GE(result.milliseconds().value_or(-1), 0.0);
    EXPECT_LT(result.milliseconds().value_or(1e9), below);
}

TEST(ICMPProber, SocketAndSendFailuresLeaveNothingPending) {
    // Without any traffic: the first opening fails, the second yields a
    // descriptor that cannot send (a pipe).
    int opened = 0;
    int pipeEnds[2] = {-1, -1};
    ASSERT_EQ(pipe2(pipeEnds, O_CLOEXEC), 0);
    UniqueFd readEnd(pipeEnds[0]), writeEnd(pipeEnds[1]);
    ICMPProber::Environment environment;
    environment.openSocket = [&](IPFamily) -> ICMPProber::OpenedSocket {
        if (++opened == 1) throw ProbeError::socket(EACCES);
        return {std::move(writeEnd), SocketKind::raw};
    };
    Harness harness(false, 2.0, environment);
    const std::uint16_t first = harness.nextSequence();

    const auto error = test::errorOf([&] { harness.send(loopbackV4); });
    EXPECT_EQ(error, ProbeError::socket(EACCES));
    EXPECT_STREQ(error ? error->what() : "", "socket: Permission denied");
    EXPECT_EQ(harness.nextSequence(), first) << "no socket: no sequence used";
    EXPECT_EQ(test::errorOf([&] { harness.send(loopbackV4); }), ProbeError::send(ENOTSOCK));
    EXPECT_EQ(harness.nextSequence(), static_cast<std::uint16_t>(first + 1)) << "a failed send uses its sequence";
    EXPECT_EQ(harness.socketKind(IPFamily::v4), SocketKind::raw) << "the opened socket is kept";
    EXPECT_TRUE(harness.pending().inFlight.empty());
    EXPECT_TRUE(harness.run(&ICMPProber::poll).empty());
    // The prober made the descriptor it was given non-blocking.
    const int flags = fcntl(pipeEnds[1], F_GETFL);
    EXPECT_TRUE(flags >= 0 && (flags & O_NONBLOCK));
}

class ICMPProberInPrivateNetwork : public ::testing::TestWithParam<SocketKind> {
protected:
    void inNetwork(bool kernelAnswersEcho, const std::function<void()>& body) {
        const test::PrivateNetwork settings{GetParam() == SocketKind::ping, kernelAnswersEcho};
        if (auto failure = test::runInPrivateNetwork(settings, body)) GTEST_SKIP() << *failure;
    }
};

TEST_P(ICMPProberInPrivateNetwork, EchoesBothFamiliesTimedByArrivalAcrossTheSequenceWrap) {
    inNetwork(true, [&] {
        std::uint64_t draws = 0;  // the identifier, then the first sequence
        ICMPProber::Environment environment;
        environment.random = [&] { return ++draws == 2 ? 65535 : draws * 0x0101'0101'0101'0101ull; };
        Harness harness(false, 2.0, environment);
        const std::uint16_t identifier = harness.prober->identifier();
        EXPECT_EQ(harness.send(loopbackV4), 65535);
        EXPECT_EQ(harness.send(loopbackV6), 0);
        EXPECT_EQ(harness.nextSequence(), 1);
        EXPECT_EQ(harness.socketKind(IPFamily::v4), GetParam());
        EXPECT_EQ(harness.socketKind(IPFamily::v6), GetParam());

        // Replies read long after they came still carry the arrival's time.
        std::this_thread::sleep_for(200ms);
        Results results = harness.run(&ICMPProber::poll);
        ASSERT_EQ(results.size(), 2u);
        std::sort(results.begin(), results.end(), [](auto& a, auto& b) { return a.sentAt < b.sentAt; });
        expectReply(results[0], loopbackV4, 65535, 50);
        expectReply(results[1], loopbackV6, 0, 50);
        EXPECT_EQ(harness.prober->identifier(), identifier);
        EXPECT_TRUE(harness.pending().inFlight.empty());
    });
}

TEST_P(ICMPProberInPrivateNetwork, ResetReportsWaitingRepliesAndForgetsTheRest) {
    inNetwork(false, [&] {
        Harness harness(false, 0.3);
        test::EchoResponder v6(IPFamily::v6);

        // Reset reports replies waiting in the socket and forgets the rest.
        const std::uint16_t answered = harness.send(loopbackV6);
        const auto answeredRequest = v6.nextRequest();
        const std::uint16_t unanswered = harness.send(loopbackV6);
        const auto unansweredRequest = v6.nextRequest();
        ASSERT_TRUE(answeredRequest && unansweredRequest);
        EXPECT_EQ(unansweredRequest->sequence, unanswered);
        v6.reply(*answeredRequest);
        std::this_thread::sleep_for(100ms);  // lets the reply land in the socket
        Results results = harness.run(&ICMPProber::reset);
        ASSERT_EQ(results.size(), 1u);
        expectReply(results[0], loopbackV6, answered);
        EXPECT_TRUE(harness.pending().inFlight.empty());

        std::this_thread::sleep_for(400ms);
        EXPECT_EQ(harness.run(&ICMPProber::poll), Results{}) << "the forgotten probe must not be reported lost";
        v6.reply(*unansweredRequest);
        std::this_thread::sleep_for(50ms);
        EXPECT_EQ(harness.run(&ICMPProber::drain), Results{}) << "nor its reply late";
        EXPECT_EQ(harness.nextSequence(), static_cast<std::uint16_t>(unanswered + 1)) << "sequences run on";
    });
}

TEST_P(ICMPProberInPrivateNetwork, AFloodIsReadInBoundedPassesAndTheAnswerStillFound) {
    inNetwork(false, [&] {
        // A second descriptor of the prober's socket shows what it left unread.
        UniqueFd watch;
        ICMPProber::Environment environment;
        environment.openSocket = [&](IPFamily family) {
            auto opened = ICMPProber::openSystemSocket(family);
            watch.reset(fcntl(opened.descriptor.get(), F_DUPFD_CLOEXEC, 0));
            return opened;
        };
        Harness harness(false, 2.0, environment);
        test::EchoResponder responder(IPFamily::v4);
        const std::uint16_t sequence = harness.send(loopbackV4);
        const auto request = responder.nextRequest();
        ASSERT_TRUE(request);

        // More foreign replies than one pass takes, then the true one.
        const std::size_t flood = ICMPProber::maxDatagramsPerPass + 16;
        for (std::size_t i = 0; i < flood; ++i) responder.reply({request->identifier, sequence, request->token + 1 + i});
        responder.reply(*request);
        pollfd ready{watch.get(), POLLIN, 0};
        std::this_thread::sleep_for(100ms);  // lets the datagrams land in the socket

        EXPECT_EQ(harness.run(&ICMPProber::drain), Results{}) << "one pass read the whole flood";
        ASSERT_EQ(::poll(&ready, 1, 0), 1) << "nothing left for the next pass";
        const Results results = harness.run(&ICMPProber::drain);
        ASSERT_EQ(results.size(), 1u);
        expectReply(results[0], loopbackV4, sequence);
        EXPECT_EQ(::poll(&ready, 1, 0), 0);
    });
}

TEST_P(ICMPProberInPrivateNetwork, CloseAndDestructionCloseEveryDescriptorAndReportNothing) {
    inNetwork(true, [&] {
        for (bool readsOnArrival : {false, true}) {
            SCOPED_TRACE(readsOnArrival ? "reads on arrival" : "reads when asked");
            Harness harness(readsOnArrival);
            // The queue's event loop opens descriptors of its own on first use.
            harness.send(loopbackV4);
            EXPECT_EQ(harness.until(1, !readsOnArrival).size(), 1u);
            harness.run(&ICMPProber::close);
            const std::size_t before = openDescriptors();
            harness.send(loopbackV4);
            harness.send(loopbackV6);
            harness.send(loopbackV4);  // the socket is reused
            EXPECT_EQ(openDescriptors(), before + 2);
            if (readsOnArrival) {
                EXPECT_EQ(harness.until(3, false).size(), 3u) << "read without a drain";
            }
            EXPECT_EQ(harness.run(&ICMPProber::close), Results{});
            EXPECT_EQ(openDescriptors(), before);
            EXPECT_EQ(harness.socketKind(IPFamily::v4), std::nullopt);
            std::this_thread::sleep_for(50ms);
            EXPECT_EQ(harness.run(&ICMPProber::poll), Results{}) << "close reports nothing";
            const std::uint16_t again = harness.send(loopbackV4);  // opens anew
            const Results results = harness.until(1, !readsOnArrival);
            ASSERT_EQ(results.size(), 1u);
            expectReply(results[0], loopbackV4, again);
            harness.send(loopbackV6);
            harness.destroy();
            EXPECT_EQ(openDescriptors(), before);
        }
    });
}

INSTANTIATE_TEST_SUITE_P(SocketKinds, ICMPProberInPrivateNetwork, ::testing::Values(SocketKind::ping, SocketKind::raw),
                         [](const auto& info) { return info.param == SocketKind::ping ? "ping" : "raw"; });

}  // namespace
}  // namespace nerivane
