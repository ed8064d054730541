// The echo prober on real sockets, probing only loopback in private
// namespaces each test makes, where the test decides whether ping sockets are
// allowed and whether the kernel or the test's own responder answers. Late,
// corrupted, foreign and duplicated replies are covered by the lab tests.
#include <gtest/gtest.h>

#include <fcntl.h>

#include "support/LoopbackNetwork.h"
#include "NerivaneKit/platform/SerialQueue.h"
#include "NerivaneKit/probing/ICMPProber.h"
#include "support/Recorder.h"

namespace nerivane {
namespace {

using namespace std::chrono_literals;
using test::loopbackV4;
using test::loopbackV6;
using test::openDescriptors;
using Results = std::vector<ProbeResult>;
using SocketKind = ICMPProber::SocketKind;

// A prober on its own queue; `run` and `until` hand out the results reported since.
struct Harness {
    explicit Harness(bool readsOnArrival = false, double timeout = 2.0, ICMPProber::Environment environment = {}) {
        queue.sync([&] { prober = std::make_unique<ICMPProber>(queue, readsOnArrival, timeout, std::ref(results), std::move(environment)); });
    }
    ~Harness() { destroy(); }
    void destroy() { queue.sync([&] { prober.reset(); }); }
    template <class F>
    auto on(F f) { return queue.syncResult([&] { return f(*prober); }); }
    std::uint16_t send(const ProbeAddress& address) { return on([&](ICMPProber& p) { return p.send(address); }); }
    Results run(void (ICMPProber::*step)()) {
        queue.sync([&] { ((*prober).*step)(); });
        return results.take();
    }
    // Up to a few seconds for `count` results, draining unless the prober reads on arrival.
    Results until(std::size_t count, bool drain = true) {
        Results all;
        test::eventually([&] {
            for (auto& result : drain ? run(&ICMPProber::drain) : results.take()) all.push_back(result);
            return all.size() >= count;
        }, 5s);
        return all;
    }

    SerialQueue queue{"org.nerivane.Nerivane.test.probe"};
    test::Recorder<ProbeResult> results;
    std::unique_ptr<ICMPProber> prober;
};

void expectReply(const ProbeResult& result, const ProbeAddress& address, std::uint16_t sequence, double below = 1000) {
    EXPECT_EQ(result, (ProbeResult{address, sequence, result.sentAt, result.outcome}));
    EXPECT_GE(result.milliseconds().value_or(-1), 0.0);
    EXPECT_LT(result.milliseconds().value_or(1e9), below);
    EXPECT_TRUE(result.isReply());
}

TEST(ICMPProber, SocketAndSendFailuresLeaveNothingPending) {
    // The first opening fails, the second yields a descriptor that cannot send (a pipe).
    int opened = 0, pipeEnds[2] = {-1, -1};
    ASSERT_EQ(pipe2(pipeEnds, O_CLOEXEC), 0);
    UniqueFd readEnd(pipeEnds[0]), writeEnd(pipeEnds[1]);
    ICMPProber::Environment environment;
    environment.openSocket = [&](IPFamily) -> ICMPProber::OpenedSocket {
        if (++opened == 1) throw ProbeError::socket(EACCES);
        return {std::move(writeEnd), SocketKind::raw};
    };
    Harness harness(false, 2.0, environment);
    const auto next = [&] { return harness.on([](ICMPProber& p) { return p.nextSequence(); }); };
    const std::uint16_t first = next();
    const auto error = test::errorOf([&] { harness.send(loopbackV4); });
    EXPECT_EQ(error, ProbeError::socket(EACCES));
    EXPECT_STREQ(error ? error->what() : "", "socket: Permission denied");
    EXPECT_EQ(next(), first) << "no socket: no sequence used";
    EXPECT_EQ(test::errorOf([&] { harness.send(loopbackV4); }), ProbeError::send(ENOTSOCK));
    EXPECT_EQ(next(), static_cast<std::uint16_t>(first + 1)) << "a failed send uses its sequence";
    EXPECT_EQ(harness.on([](ICMPProber& p) { return p.socketKind(IPFamily::v4); }), SocketKind::raw);
    EXPECT_TRUE(harness.on([](ICMPProber& p) { return p.pending(); }).inFlight.empty());
    EXPECT_TRUE(harness.run(&ICMPProber::poll).empty());
    EXPECT_TRUE(fcntl(pipeEnds[1], F_GETFL) & O_NONBLOCK);
}

class ICMPProberInPrivateNetwork : public ::testing::TestWithParam<SocketKind> {
protected:
    void inNetwork(bool kernelAnswersEcho, const std::function<void()>& body) {
        if (auto failure = test::runInPrivateNetwork({GetParam() == SocketKind::ping, kernelAnswersEcho}, body))
            GTEST_SKIP() << *failure;
    }
};

TEST_P(ICMPProberInPrivateNetwork, EchoesBothFamiliesTimedByArrivalAcrossTheSequenceWrap) {
    inNetwork(true, [&] {
        std::uint64_t draws = 0;  // the identifier, then the first sequence
        ICMPProber::Environment environment;
        environment.random = [&] { return ++draws == 2 ? 65535 : draws * 0x0101'0101'0101'0101ull; };
        Harness harness(false, 2.0, environment);
        EXPECT_EQ(harness.send(loopbackV4), 65535);
        EXPECT_EQ(harness.send(loopbackV6), 0);
        for (const auto family : {IPFamily::v4, IPFamily::v6})
            EXPECT_EQ(harness.on([&](ICMPProber& p) { return p.socketKind(family); }), GetParam());
        // Replies read long after they came still carry the arrival's time.
        std::this_thread::sleep_for(200ms);
        Results results = harness.run(&ICMPProber::poll);
        ASSERT_EQ(results.size(), 2u);
        std::sort(results.begin(), results.end(), [](auto& a, auto& b) { return a.sentAt < b.sentAt; });
        expectReply(results[0], loopbackV4, 65535, 50);
        expectReply(results[1], loopbackV6, 0, 50);
        EXPECT_TRUE(harness.on([](ICMPProber& p) { return p.pending(); }).inFlight.empty());
    });
}

TEST_P(ICMPProberInPrivateNetwork, ResetReportsWaitingRepliesAndForgetsTheRest) {
    inNetwork(false, [&] {
        Harness harness(false, 0.3);
        test::EchoResponder v6(IPFamily::v6);
        const std::uint16_t answered = harness.send(loopbackV6);
        const auto answeredRequest = v6.nextRequest();
        const std::uint16_t unanswered = harness.send(loopbackV6);
        const auto unansweredRequest = v6.nextRequest();
        ASSERT_TRUE(answeredRequest && unansweredRequest);
        v6.reply(*answeredRequest);
        std::this_thread::sleep_for(100ms);  // lets the reply land in the socket
        Results results = harness.run(&ICMPProber::reset);
        ASSERT_EQ(results.size(), 1u);
        expectReply(results[0], loopbackV6, answered);
        std::this_thread::sleep_for(400ms);
        EXPECT_EQ(harness.run(&ICMPProber::poll), Results{}) << "the forgotten probe must not be reported lost";
        v6.reply(*unansweredRequest);
        std::this_thread::sleep_for(50ms);
        EXPECT_EQ(harness.run(&ICMPProber::drain), Results{}) << "nor its reply late";
        EXPECT_EQ(harness.on([](ICMPProber& p) { return p.nextSequence(); }), static_cast<std::uint16_t>(unanswered + 1));
    });
}

TEST_P(ICMPProberInPrivateNetwork, AFloodIsReadInBoundedPassesAndTheAnswerStillFound) {
    inNetwork(false, [&] {
        UniqueFd watch;  // a second descriptor of the prober's socket shows what it left unread
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
        for (std::size_t i = 0; i < ICMPProber::maxDatagramsPerPass + 16; ++i)
            responder.reply({request->identifier, sequence, request->token + 1 + i});
        responder.reply(*request);
        pollfd ready{watch.get(), POLLIN, 0};
        std::this_thread::sleep_for(100ms);  // lets the datagrams land in the socket
        EXPECT_EQ(harness.run(&ICMPProber::drain), Results{}) << "one pass read the whole flood";
        ASSERT_EQ(::poll(&ready, 1, 0), 1) << "nothing left for the next pass";
        const Results results = harness.run(&ICMPProber::drain);
        ASSERT_EQ(results.size(), 1u);
        expectReply(results[0], loopbackV4, sequence);
    });
}

TEST_P(ICMPProberInPrivateNetwork, CloseAndDestructionCloseEveryDescriptorAndReportNothing) {
    inNetwork(true, [&] {
        for (bool readsOnArrival : {false, true}) {
            SCOPED_TRACE(readsOnArrival);
            Harness harness(readsOnArrival);
            harness.send(loopbackV4);  // the queue's event loop opens descriptors of its own on first use
            EXPECT_EQ(harness.until(1, !readsOnArrival).size(), 1u);
            harness.run(&ICMPProber::close);
            const std::size_t before = openDescriptors();
            for (const auto& address : {loopbackV4, loopbackV6, loopbackV4}) harness.send(address);
            EXPECT_EQ(openDescriptors(), before + 2) << "one socket a family";
            if (readsOnArrival) {
                EXPECT_EQ(harness.until(3, false).size(), 3u) << "read without a drain";
            }
            EXPECT_EQ(harness.run(&ICMPProber::close), Results{});
            EXPECT_EQ(openDescriptors(), before);
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
