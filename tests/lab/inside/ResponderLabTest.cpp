// Runs inside a lab's client namespace (lab/run-lab-test): probes the lab's
// hosts with a prober's own kind of socket and checks what the responder
// sends back for each answer mode, that it survives garbage, and that the
// client's name lookups stay inside the lab. (Loss, jitter, the TCP-only and
// silent hosts are seen with ping and bash in the shell tests.)
#include <gtest/gtest.h>

#include <netdb.h>
#include <poll.h>
#include <signal.h>

#include <chrono>
#include <cstring>
#include <fstream>
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
using labtest::labName;

ProbeAddress address(const std::string& text) { return ProbeAddress::parse(text).value(); }

struct Reply {
    ICMPPacket::Echo echo;
    ProbeAddress source;
    double milliseconds = 0;
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
std::vector<Reply> probe(const std::string& host, double waitMs, ICMPPacket::Echo* sent = nullptr,
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
    const auto sentAt = Clock::now();
    EXPECT_EQ(sendTo(fd.get(), to, request), static_cast<ssize_t>(request.size())) << std::strerror(errno);

    std::vector<Reply> replies;
    const auto end = sentAt + std::chrono::microseconds(static_cast<long>(waitMs * 1000));
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
        if (reply && from) replies.push_back({*reply, *from, std::chrono::duration<double, std::milli>(Clock::now() - sentAt).count()});
    }
    return replies;
}

// The count of IPv6 replies the kernel dropped for a bad checksum.
long icmp6ChecksumErrors() {
    std::ifstream in("/proc/net/snmp6");
    std::string key;
    long value = 0;
    while (in >> key >> value)
        if (key == "Icmp6InCsumErrors") return value;
    return -1;
}

class ResponderLab : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(labtest::insideTheLab()) << "run through lab/run-lab-test"; }
    void TearDown() override { lab("reset"); }
};

// Every host replies from the probed address (the link-local router with
// eth0's scope) as its own profile says: foreign replies carry another token,
// duplicates come twice, late replies after a prober's two-second time-out;
// the IPv6 partner of a delayed host and forwarding past a silent router go on.
TEST_F(ResponderLab, EachHostAnswersFromItsAddressAsItsProfileSays) {
    struct Row {
        std::string host;
        std::size_t replies = 1;
        std::uint64_t tokenMask = 0;
        double atLeastMs = 0, belowMs = 100;
    };
    const std::vector<std::pair<std::vector<std::string>, std::vector<Row>>> rounds{
        {{"set 1.1.1.1 delay=150", "set nine.lab mode=foreign", "set 8.8.8.8 mode=duplicate",
          "set fe80::1 mode=duplicate", "set 2001:4860:4860::8888 mode=late"},
         {{"1.1.1.1", 1, 0, 145, 1500}, {"2606:4700:4700::1111"}, {"8.8.8.8", 2}, {"fe80::1%eth0", 2}, {"fd77::1"},
          {"9.9.9.9", 1, EchoReply::foreignTokenMask}, {"2620:fe::fe", 1, EchoReply::foreignTokenMask},
          {"2001:4860:4860::8888", 1, 0, 2000, 4900}, {"10.77.0.1"}}},
        {{"reset", "set router mode=silent", "set 1.1.1.1 mode=late"},
         {{"10.77.0.1", 0}, {"fe80::1%eth0", 0}, {"9.9.9.9"}, {"1.1.1.1", 1, 0, 2000, 4900}}},
    };
    for (const auto& [verbs, rows] : rounds) {
        for (const auto& verb : verbs) ASSERT_TRUE(lab(verb)) << verb;
        for (const auto& row : rows) {
            SCOPED_TRACE(row.host);
            ICMPPacket::Echo sent;
            const auto replies = probe(row.host, row.replies == 0 ? 500 : 4900, &sent, std::max<std::size_t>(row.replies, 1));
            ASSERT_EQ(replies.size(), row.replies);
            for (const auto& reply : replies) {
                EXPECT_EQ(reply.echo.sequence, sent.sequence);
                EXPECT_EQ(reply.echo.token, sent.token ^ row.tokenMask);
                EXPECT_EQ(reply.source, address(row.host)) << "answered from " << reply.source.text();
                EXPECT_GE(reply.milliseconds, row.atLeastMs);
                EXPECT_LT(reply.milliseconds, row.belowMs);
            }
        }
    }
}

TEST_F(ResponderLab, CorruptRepliesArriveWithABadChecksum) {
    ASSERT_TRUE(lab("set one.lab mode=corrupt"));
    // A raw socket sees IPv4 replies before the kernel's checksum test; for
    // IPv6 the kernel's count of bad checksums tells.
    UniqueFd raw(::socket(AF_INET, SOCK_RAW | SOCK_NONBLOCK, IPPROTO_ICMP));
    ASSERT_TRUE(raw.valid());
    const long before6 = icmp6ChecksumErrors();
    ASSERT_GE(before6, 0);
    EXPECT_TRUE(probe("1.1.1.1", 800).empty());
    EXPECT_TRUE(probe("2606:4700:4700::1111", 800).empty());
    EXPECT_GE(icmp6ChecksumErrors(), before6 + 1);

    bool sawCorrupt = false;
    std::uint8_t buffer[1500];
    for (ssize_t count; (count = ::recv(raw.get(), buffer, sizeof buffer, 0)) > 0;) {
        const auto packet = EchoReply::parseIP(std::span(buffer, static_cast<std::size_t>(count)));
        if (!packet || packet->source != address("1.1.1.1") || packet->payload.size() < 16) continue;
        if (packet->payload[0] != ICMPPacket::echoReplyV4) continue;
        EXPECT_NE(ICMPPacket::checksum(packet->payload), 0);
        EXPECT_EQ(ICMPPacket::parseReply(packet->payload, IPFamily::v4), std::nullopt);
        sawCorrupt = true;
    }
    EXPECT_TRUE(sawCorrupt);
}

TEST_F(ResponderLab, SurvivesShortMalformedAndForeignPackets) {
    std::mt19937 random(20240611);
    const auto noise = [&](std::size_t size, int type = -1) {
        std::vector<std::uint8_t> data(size);
        for (auto& byte : data) byte = static_cast<std::uint8_t>(random());
        if (type >= 0) data[0] = static_cast<std::uint8_t>(type);
        return data;
    };
    for (const std::string host : {"1.1.1.1", "10.77.0.1", "203.0.113.10", "2606:4700:4700::1111", "fe80::1%eth0"}) {
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
    for (const std::string role : {"router", "internet"}) {
        std::ifstream in("/run/nerivane-lab/" + labName() + "/" + role + ".pid");
        pid_t pid = 0;
        EXPECT_TRUE(in >> pid && pid > 0 && ::kill(pid, 0) == 0) << role << " responder died";
    }
    for (const std::string host : {"1.1.1.1", "10.77.0.1", "2606:4700:4700::1111", "fe80::1%eth0"})
        EXPECT_EQ(probe(host, 1000).size(), 1u) << host;
    std::ifstream log("/run/nerivane-lab/" + labName() + "/internet.log");
    const std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("ignored a malformed echo request"), std::string::npos);
    EXPECT_NE(text.find("bad checksum"), std::string::npos);
}

// Stand where the resolver points: a lookup's query must come here, to the
// client namespace's own loopback, and nowhere else. (lab-isolation.sh checks
// that lookups fail at once and that only files and DNS are asked.)
TEST_F(ResponderLab, TheResolverIsTheClientsOwnLoopback) {
    UniqueFd server(::socket(AF_INET, SOCK_DGRAM, 0));
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(53);
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(server.get(), reinterpret_cast<sockaddr*>(&local), sizeof local), 0) << std::strerror(errno);
    int status = 0;
    std::thread client([&] {
        addrinfo hints{};
        hints.ai_socktype = SOCK_DGRAM;
        addrinfo* result = nullptr;
        status = ::getaddrinfo("nerivane-resolver-test.example", nullptr, &hints, &result);
        if (result) ::freeaddrinfo(result);
    });
    pollfd entry{server.get(), POLLIN, 0};
    const bool asked = ::poll(&entry, 1, 3000) == 1;
    client.join();
    EXPECT_TRUE(asked);
    EXPECT_NE(status, 0);
}

}  // namespace
}  // namespace nerivane::lab
