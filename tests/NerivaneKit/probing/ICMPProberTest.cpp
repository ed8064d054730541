// The echo prober on real sockets, probing only loopback in private
// namespaces each test makes, where the test decides whether ping sockets are
// allowed. Late, corrupted, foreign and duplicated replies are covered by the
// lab tests.
#include <gtest/gtest.h>

#include <fcntl.h>

#include "support/LoopbackNetwork.h"
#include "support/Printers.h"
#include "NerivaneKit/platform/SerialQueue.h"
#include "NerivaneKit/probing/ICMPPacket.h"
#include "NerivaneKit/probing/ICMPProber.h"
#include "NerivaneKit/probing/ProbeError.h"
#include "support/Recorder.h"

namespace nerivane {
namespace {

using namespace std::chrono_literals;
using test::loopbackV4;
using test::loopbackV6;
using Results = std::vector<ProbeResult>;
using SocketKind = ICMPProber::SocketKind;

// A prober on its own queue; `run` hands out the results reported since.
struct Harness {
    explicit Harness(ICMPProber::Environment environment = {}) {
        queue.sync([&] { prober = std::make_unique<ICMPProber>(queue, false, Seconds{2.0}, std::ref(results), std::move(environment)); });
    }
    ~Harness() { queue.sync([&] { prober.reset(); }); }
    template <class F>
    auto on(F f) { return queue.syncResult([&] { return f(*prober); }); }
    std::uint16_t send(const ProbeAddress& address) { return on([&](ICMPProber& p) { return p.send(address); }); }
    Results run(void (ICMPProber::*step)()) {
        queue.sync([&] { ((*prober).*step)(); });
        return results.take();
    }

    SerialQueue queue{"org.nerivane.Nerivane.test.probe"};
    test::Recorder<ProbeResult> results;
    std::unique_ptr<ICMPProber> prober;
};

void expectReply(const ProbeResult& result, const ProbeAddress& address, std::uint16_t sequence, double below = 1000) {
    EXPECT_EQ(result, (ProbeResult{address, sequence, result.sentAt, result.outcome}));
    EXPECT_LT(result.milliseconds().value_or(1e9), below);
    EXPECT_TRUE(result.isReply());
}

class ICMPProberInPrivateNetwork : public ::testing::TestWithParam<SocketKind> {};

// The kernel answers; the test adds a flood of foreign replies.
TEST_P(ICMPProberInPrivateNetwork, EchoesBothFamiliesByArrivalAndReadsAFloodInBoundedPasses) {
    const auto failure = test::runInPrivateNetwork({GetParam() == SocketKind::ping, true}, [&] {
        std::uint64_t draws = 0;  // the identifier, then the first sequence
        UniqueFd watch;  // a second descriptor of the IPv4 socket shows what the prober left unread
        ICMPProber::Environment environment;
        environment.random = [&] { return ++draws == 2 ? 65535 : draws * 0x0101'0101'0101'0101ull; };
        environment.openSocket = [&](IPFamily family) {
            auto opened = ICMPProber::openSystemSocket(family);
            if (family == IPFamily::v4) watch.reset(fcntl(opened.descriptor.get(), F_DUPFD_CLOEXEC, 0));
            return opened;
        };
        Harness harness(environment);
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

        // More foreign replies than one pass takes, then the true one. They
        // carry the identifier requests go out with: a ping socket's port, or
        // the first random draw.
        sockaddr_in bound{};
        socklen_t length = sizeof bound;
        ASSERT_EQ(::getsockname(watch.get(), reinterpret_cast<sockaddr*>(&bound), &length), 0);
        const std::uint16_t identifier = GetParam() == SocketKind::ping ? ntohs(bound.sin_port) : 0x0101;
        const UniqueFd raw(::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP));
        const auto to = loopbackV4.socketAddress(0, length);
        for (std::uint64_t token = 0; token < ICMPProber::maxDatagramsPerPass + 16; ++token) {
            const auto reply = ICMPPacket::message(ICMPPacket::echoReplyV4, {identifier, 1, token});
            ASSERT_EQ(::sendto(raw.get(), reply.data(), reply.size(), 0, reinterpret_cast<const sockaddr*>(&to), length),
                      static_cast<ssize_t>(reply.size()));
        }
        const std::uint16_t sequence = harness.send(loopbackV4);
        pollfd ready{watch.get(), POLLIN, 0};
        std::this_thread::sleep_for(100ms);  // lets the datagrams land in the socket
        EXPECT_EQ(harness.run(&ICMPProber::drain), Results{}) << "one pass read the whole flood";
        ASSERT_EQ(::poll(&ready, 1, 0), 1) << "nothing left for the next pass";
        results = harness.run(&ICMPProber::drain);
        ASSERT_EQ(results.size(), 1u);
        expectReply(results[0], loopbackV4, sequence);
    });
    if (failure) GTEST_SKIP() << *failure;
}

// A datagram whose sender is of the other family is skipped alone; the rest
// of the pass is still read. A dual-stack UDP socket stands in for the IPv4
// echo socket: no echo socket can be made to receive from the other family.
TEST(ICMPProberReadPass, ADatagramFromTheOtherFamilySkipsOnlyItself) {
    const auto failure = test::runInPrivateNetwork({true, true}, [] {
        UniqueFd watch;
        sockaddr_in6 bound{};
        ICMPProber::Environment environment;
        environment.openSocket = [&](IPFamily) {
            UniqueFd fd(::socket(AF_INET6, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
            const int off = 0;
            EXPECT_EQ(::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off), 0);
            bound.sin6_family = AF_INET6;
            socklen_t length = sizeof bound;
            EXPECT_EQ(::bind(fd.get(), reinterpret_cast<sockaddr*>(&bound), length), 0);
            EXPECT_EQ(::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&bound), &length), 0);
            watch.reset(fcntl(fd.get(), F_DUPFD_CLOEXEC, 0));
            return ICMPProber::OpenedSocket{std::move(fd), SocketKind::ping};
        };
        Harness harness(environment);
        // The stand-in cannot carry an echo request; the send opens it, which is all it is for.
        EXPECT_THROW(harness.send(loopbackV4), ProbeError);
        ASSERT_TRUE(watch);

        const UniqueFd sender(::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        bound.sin6_addr = in6addr_loopback;
        const auto reply = ICMPPacket::message(ICMPPacket::echoReplyV4, {1, 1, 1});
        for (int count = 0; count < 3; ++count) {
            ASSERT_EQ(::sendto(sender.get(), reply.data(), reply.size(), 0, reinterpret_cast<const sockaddr*>(&bound),
                               sizeof bound),
                      static_cast<ssize_t>(reply.size()));
        }
        pollfd ready{watch.get(), POLLIN, 0};
        ASSERT_EQ(::poll(&ready, 1, 1000), 1);
        EXPECT_EQ(harness.run(&ICMPProber::drain), Results{});
        EXPECT_EQ(::poll(&ready, 1, 0), 0) << "the pass ended at the first datagram from the other family";
    });
    if (failure) GTEST_SKIP() << *failure;
}

INSTANTIATE_TEST_SUITE_P(SocketKinds, ICMPProberInPrivateNetwork, ::testing::Values(SocketKind::ping, SocketKind::raw),
                         [](const auto& info) { return ::testing::PrintToString(info.param); });

}  // namespace
}  // namespace nerivane
