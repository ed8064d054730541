// Runs inside a lab's client namespace (lab/run-lab-test): probes the lab's
// hosts with a prober's own kind of socket and checks what the responder
// sends back for each answer mode and that it survives garbage. Loss,
// jitter, the TCP-only and silent hosts and the lookups staying inside the
// lab are seen with ping and bash in the shell tests; corrupt replies by the
// engine's lab story and the reply builder's unit test.
#include <gtest/gtest.h>

#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <random>
#include <thread>

#include "NerivaneKit/platform/UniqueFd.h"
#include "NerivaneKit/probing/ICMPPacket.h"
#include "lab/responder/EchoReply.h"
#include "tests/support/LabAccess.h"

namespace nerivane::lab {
namespace {

using Clock = std::chrono::steady_clock;

using labtest::lab;

ProbeAddress address(const std::string& text) { return ProbeAddress::parse(text).value(); }

struct Reply {
    ICMPPacket::Echo echo;
    ProbeAddress source;
};

// Sends one ICMP or ICMPv6 message; a raw socket's kernel adds the IP header
// (and, for ICMPv6, the checksum).
ssize_t sendTo(int fd, const ProbeAddress& to, std::span<const std::uint8_t> message) {
    socklen_t length = 0;
    const auto socketAddress = to.socketAddress(0, length);
    return ::sendto(fd, message.data(), message.size(), 0, reinterpret_cast<const sockaddr*>(&socketAddress), length);
}

// One probe from an unprivileged ping socket, as the prober uses (the kernel
// checks reply checksums and hands over only replies to this socket's
// identifier): the replies that came back within the wait, or the first
// `enough` of them.
std::vector<Reply> probe(const std::string& host, int waitMs, ICMPPacket::Echo* sent = nullptr,
                         std::size_t enough = 1) {
    static std::uint16_t sequence = 1;
    static std::mt19937_64 random{std::random_device{}()};
    const auto to = address(host);
    const bool v4 = to.family == IPFamily::v4;
    UniqueFd fd(::socket(v4 ? AF_INET : AF_INET6, SOCK_DGRAM | SOCK_NONBLOCK, v4 ? int{IPPROTO_ICMP} : int{IPPROTO_ICMPV6}));
    EXPECT_TRUE(fd.valid()) << std::strerror(errno);
    const ICMPPacket::Echo echo{0, sequence++, random()};
    if (sent) *sent = echo;
    const auto request = ICMPPacket::request(echo, to.family);
    const auto end = Clock::now() + std::chrono::milliseconds(waitMs);
    EXPECT_EQ(sendTo(fd.get(), to, request), static_cast<ssize_t>(request.size())) << std::strerror(errno);

    std::vector<Reply> replies;
    while (replies.size() < enough) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        if (left <= 0) break;
        pollfd entry{fd.get(), POLLIN, 0};
        if (::poll(&entry, 1, static_cast<int>(left)) <= 0) continue;
        std::uint8_t buffer[1500];
        sockaddr_storage source{};
        socklen_t length = sizeof source;
        const ssize_t count = ::recvfrom(fd.get(), buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&source), &length);
        if (count <= 0) continue;
        const auto reply = ICMPPacket::parseReply(std::span(buffer, static_cast<std::size_t>(count)), to.family);
        const auto from = ProbeAddress::fromSocketAddress(reinterpret_cast<const sockaddr*>(&source), length);
        if (reply && from) replies.push_back({*reply, *from});
    }
    return replies;
}

// Garbage of every kind to both responders in both families; then each
// host still replies from the probed address (the link-local router with
// eth0's scope) as its own profile says: foreign replies carry another token
// (a name sets both its addresses), duplicates come twice. (Delays and prompt
// answers are seen by ping in lab-ping.sh; late replies and a silent router
// by the engine's lab stories.)
TEST(ResponderLab, SurvivesMalformedPacketsAndAnswersFromEachAddressAsItsProfileSays) {
    ASSERT_TRUE(labtest::insideTheLab()) << "run through lab/run-lab-test";
    ASSERT_TRUE(lab("reset") && lab("set nine.lab mode=foreign") && lab("set fe80::1 mode=duplicate"));
    std::mt19937 random(20240611);
    const auto noise = [&](std::size_t size, int type = -1) {
        std::vector<std::uint8_t> data(size);
        for (auto& byte : data) byte = static_cast<std::uint8_t>(random());
        if (type >= 0) data[0] = static_cast<std::uint8_t>(type);
        return data;
    };
    for (const std::string host : {"1.1.1.1", "10.77.0.1", "2606:4700:4700::1111", "fe80::1%eth0"}) {
        const auto to = address(host);
        const bool v4 = to.family == IPFamily::v4;
        UniqueFd raw(::socket(v4 ? AF_INET : AF_INET6, SOCK_RAW, v4 ? int{IPPROTO_ICMP} : int{IPPROTO_ICMPV6}));
        ASSERT_TRUE(raw.valid());
        const int requestType = v4 ? ICMPPacket::echoRequestV4 : ICMPPacket::echoRequestV6;
        // The kernel adds the IP header and the ICMPv6 checksum; ours for IPv4 when asked.
        const auto send = [&](std::vector<std::uint8_t> message, bool withChecksum) {
            if (v4 && withChecksum && message.size() >= 4) {
                message[2] = message[3] = 0;
                const auto sum = ICMPPacket::checksum(message);
                message[2] = static_cast<std::uint8_t>(sum >> 8);
                message[3] = static_cast<std::uint8_t>(sum);
            }
            sendTo(raw.get(), to, message);
        };
        // Requests too short to hold a token; a full one with a wrong checksum,
        // one with a non-zero code, a reply; noise of every size, every third
        // looking like a request.
        for (std::size_t size = 1; size < 16; ++size) send(noise(size, requestType), true);
        const auto request = ICMPPacket::request({0xbeef, 1, 2}, to.family);
        auto badSum = std::vector<std::uint8_t>(request.begin(), request.end()), coded = badSum;
        badSum[12] ^= 0xff;
        coded[1] = 9;
        send(badSum, false);
        send(coded, true);
        const auto reply = ICMPPacket::message(v4 ? ICMPPacket::echoReplyV4 : ICMPPacket::echoReplyV6, {0xbeef, 3, 4});
        send({reply.begin(), reply.end()}, true);
        for (int i = 0; i < 150; ++i) send(noise(1 + random() % 1400, i % 3 == 0 ? requestType : -1), false);
    }
    for (int i = 0; i < 5; ++i) {  // garbage on the TCP host's port
        UniqueFd tcp(::socket(AF_INET, SOCK_STREAM, 0));
        socklen_t length = 0;
        const auto socketAddress = address("203.0.113.10").socketAddress(443, length);
        if (::connect(tcp.get(), reinterpret_cast<const sockaddr*>(&socketAddress), length) == 0)
            ::send(tcp.get(), noise(700).data(), 700, MSG_NOSIGNAL);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto log = labtest::responderLog("internet");
    for (const std::string said : {"ignored a malformed echo request", "bad checksum"}) {
        EXPECT_TRUE(std::any_of(log.begin(), log.end(), [&](const std::string& line) { return line.find(said) != std::string::npos; }))
            << said;
    }
    const struct {
        std::string host;
        std::size_t replies;
        std::uint64_t tokenMask;
    } rows[] = {{"fe80::1%eth0", 2, 0}, {"10.77.0.1", 1, 0}, {"9.9.9.9", 1, EchoReply::foreignTokenMask},
                {"2620:fe::fe", 1, EchoReply::foreignTokenMask}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.host);
        ICMPPacket::Echo sent;
        const auto replies = probe(row.host, 1000, &sent, row.replies);
        ASSERT_EQ(replies.size(), row.replies);
        for (const auto& reply : replies) {
            EXPECT_EQ(reply.echo.sequence, sent.sequence);
            EXPECT_EQ(reply.echo.token, sent.token ^ row.tokenMask);
            EXPECT_EQ(reply.source, address(row.host)) << "answered from " << reply.source.text();
        }
    }
}

}  // namespace
}  // namespace nerivane::lab
