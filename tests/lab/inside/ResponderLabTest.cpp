// Runs inside a lab's client namespace (lab/run-lab-test): probes the lab's
// hosts with a prober's own kind of socket and checks what the responder
// sends back for each answer mode, that it survives garbage, and that the
// client's name lookups stay inside the lab. (Loss, jitter, the TCP-only and
// silent hosts are seen with ping and bash in the shell tests.)
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "NerivaneKit/platform/UniqueFd.h"
#include "NerivaneKit/probing/ICMPPacket.h"
#include "NerivaneKit/probing/ProbeAddress.h"
#include "lab/responder/EchoReply.h"

namespace nerivane::lab {
namespace {

using Clock = std::chrono::steady_clock;

std::string env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// Runs a verb of the lab command on this test's own instance.
void lab(const std::string& arguments) {
    const std::string command = env("NERIVANE_LAB_CMD") + " " + arguments + " --name " + env("NERIVANE_LAB") + " >/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

ProbeAddress address(const std::string& text) {
    const auto parsed = ProbeAddress::parse(text);
    EXPECT_TRUE(parsed) << text;
    return parsed.value_or(ProbeAddress{});
}

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

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
        if (reply && from) replies.push_back({*reply, *from, millisecondsSince(sentAt)});
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

bool responderAlive(const std::string& role) {
    std::ifstream in("/run/nerivane-lab/" + env("NERIVANE_LAB") + "/" + role + ".pid");
    pid_t pid = 0;
    return in >> pid && pid > 0 && ::kill(pid, 0) == 0;
}

class ResponderLab : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(env("NERIVANE_LAB").empty() || env("NERIVANE_LAB_CMD").empty()) << "run through lab/run-lab-test";
    }
    void TearDown() override { lab("reset"); }
};

TEST_F(ResponderLab, EveryHostRepliesFromTheProbedAddress) {
    for (const std::string host : {"1.1.1.1", "8.8.8.8", "9.9.9.9", "2606:4700:4700::1111", "2001:4860:4860::8888",
                                   "2620:fe::fe", "10.77.0.1", "fd77::1", "fe80::1%eth0"}) {
        ICMPPacket::Echo sent;
        const auto replies = probe(host, 1000, &sent);
        ASSERT_EQ(replies.size(), 1u) << host;
        EXPECT_EQ(replies[0].echo.token, sent.token) << host;
        EXPECT_EQ(replies[0].echo.sequence, sent.sequence) << host;
        // For the link-local router this includes the scope: eth0's index.
        EXPECT_EQ(replies[0].source, address(host)) << host << " answered from " << replies[0].source.text();
    }
}

TEST_F(ResponderLab, EachAddressHasItsOwnProfile) {
    lab("set 1.1.1.1 delay=150");
    const auto slow = probe("1.1.1.1", 2000);
    ASSERT_EQ(slow.size(), 1u);
    EXPECT_GE(slow[0].milliseconds, 145);
    EXPECT_LT(slow[0].milliseconds, 1500);
    // The IPv6 partner and the other hosts are untouched.
    for (const std::string other : {"2606:4700:4700::1111", "8.8.8.8"}) {
        const auto prompt = probe(other, 1000);
        ASSERT_EQ(prompt.size(), 1u) << other;
        EXPECT_LT(prompt[0].milliseconds, 100) << other;
    }
    lab("set router mode=silent");
    EXPECT_TRUE(probe("10.77.0.1", 500).empty());
    EXPECT_TRUE(probe("fe80::1%eth0", 500).empty());
    EXPECT_EQ(probe("9.9.9.9", 1000).size(), 1u);  // forwarding goes on
}

// What the answer modes send back to a prober: foreign replies carry another
// token, duplicates come twice, late replies after its two-second time-out.
TEST_F(ResponderLab, AnswerModesAsAProberSeesThem) {
    for (const char* verb : {"set nine.lab mode=foreign", "set 8.8.8.8 mode=duplicate", "set fe80::1 mode=duplicate",
                             "set 1.1.1.1 mode=late", "set 2001:4860:4860::8888 mode=late"})
        lab(verb);
    struct Case {
        const char* host;
        std::size_t replies;
        std::uint64_t tokenMask;
        double atLeastMs;
    };
    for (const auto& [host, count, mask, atLeastMs] :
         {Case{"9.9.9.9", 1, EchoReply::foreignTokenMask, 0}, Case{"2620:fe::fe", 1, EchoReply::foreignTokenMask, 0},
          Case{"8.8.8.8", 2, 0, 0}, Case{"fe80::1%eth0", 2, 0, 0}, Case{"1.1.1.1", 1, 0, 2000},
          Case{"2001:4860:4860::8888", 1, 0, 2000}}) {
        ICMPPacket::Echo sent;
        const auto replies = probe(host, 4900, &sent, count);
        ASSERT_EQ(replies.size(), count) << host;
        for (const auto& reply : replies) {
            EXPECT_EQ(reply.echo.sequence, sent.sequence) << host;
            EXPECT_EQ(reply.echo.token, sent.token ^ mask) << host;
            EXPECT_GT(reply.milliseconds, atLeastMs) << host;
        }
    }
}

TEST_F(ResponderLab, CorruptRepliesArriveWithABadChecksum) {
    lab("set one.lab mode=corrupt");
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
    ssize_t count;
    while ((count = ::recv(raw.get(), buffer, sizeof buffer, 0)) > 0) {
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
    const auto noise = [&](std::size_t size) {
        std::vector<std::uint8_t> data(size);
        for (auto& byte : data) byte = static_cast<std::uint8_t>(random());
        return data;
    };
    // Raw ICMP or ICMPv6 messages: the kernel adds the IP header and, for
    // ICMPv6, the checksum.
    for (const std::string host : {"1.1.1.1", "10.77.0.1", "203.0.113.10", "2606:4700:4700::1111", "fe80::1%eth0"}) {
        const auto to = address(host);
        const bool v4 = to.family == IPFamily::v4;
        UniqueFd raw(::socket(v4 ? AF_INET : AF_INET6, SOCK_RAW, v4 ? int{IPPROTO_ICMP} : int{IPPROTO_ICMPV6}));
        ASSERT_TRUE(raw.valid());
        const std::uint8_t requestType = v4 ? ICMPPacket::echoRequestV4 : ICMPPacket::echoRequestV6;
        const auto send = [&](std::vector<std::uint8_t> message, bool withChecksum = true) {
            if (v4 && withChecksum && message.size() >= 4) {
                message[2] = message[3] = 0;
                const auto sum = ICMPPacket::checksum(message);
                message[2] = static_cast<std::uint8_t>(sum >> 8);
                message[3] = static_cast<std::uint8_t>(sum);
            }
            sendTo(raw.get(), to, message);
        };
        // Echo requests too short to hold a token, with a valid checksum.
        for (std::size_t size = 1; size < 16; ++size) {
            auto message = noise(size);
            message[0] = requestType;
            if (size > 1) message[1] = 0;
            send(message);
        }
        // A full request with a wrong checksum, one with a non-zero code, a
        // reply, and noise of every size, every third looking like a request.
        const auto request = ICMPPacket::request({0xbeef, 1, 2}, to.family);
        auto badSum = std::vector<std::uint8_t>(request.begin(), request.end());
        badSum[12] ^= 0xff;
        send(badSum, false);
        auto coded = std::vector<std::uint8_t>(request.begin(), request.end());
        coded[1] = 9;
        send(coded);
        const auto reply = ICMPPacket::message(v4 ? ICMPPacket::echoReplyV4 : ICMPPacket::echoReplyV6, {0xbeef, 3, 4});
        send({reply.begin(), reply.end()});
        for (int i = 0; i < 150; ++i) {
            auto message = noise(1 + random() % 1400);
            if (i % 3 == 0) message[0] = requestType;
            send(message, false);
        }
    }
    // Garbage on the TCP host's port.
    for (int i = 0; i < 5; ++i) {
        UniqueFd tcp(::socket(AF_INET, SOCK_STREAM, 0));
        socklen_t length = 0;
        const auto socketAddress = address("203.0.113.10").socketAddress(443, length);
        if (::connect(tcp.get(), reinterpret_cast<const sockaddr*>(&socketAddress), length) == 0) {
            const auto bytes = noise(700);
            ::send(tcp.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
        }
    }

    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(responderAlive("router"));
    EXPECT_TRUE(responderAlive("internet"));
    for (const std::string host : {"1.1.1.1", "10.77.0.1", "2606:4700:4700::1111", "fe80::1%eth0"})
        EXPECT_EQ(probe(host, 1000).size(), 1u) << host;
    std::ifstream log("/run/nerivane-lab/" + env("NERIVANE_LAB") + "/internet.log");
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
