// Runs inside a lab's client namespace (lab/run-lab-test): probes the lab's
// hosts with a prober's own kind of socket and checks what the responder
// sends back for each answer mode, that it survives garbage, and that the
// client's name lookups stay inside the lab.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
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

// An unprivileged ping socket, as the prober uses: the kernel checks reply
// checksums and hands over only replies to this socket's identifier.
class PingSocket {
public:
    explicit PingSocket(IPFamily family) : family_(family) {
        const int protocol = family == IPFamily::v4 ? int{IPPROTO_ICMP} : int{IPPROTO_ICMPV6};
        fd_ = UniqueFd(::socket(family == IPFamily::v4 ? AF_INET : AF_INET6, SOCK_DGRAM | SOCK_NONBLOCK, protocol));
        EXPECT_TRUE(fd_.valid()) << std::strerror(errno);
    }

    ICMPPacket::Echo send(const ProbeAddress& to, std::uint16_t sequence) {
        const ICMPPacket::Echo echo{0, sequence, random_()};
        const auto request = ICMPPacket::request(echo, family_);
        socklen_t length = 0;
        const auto socketAddress = to.socketAddress(0, length);
        sentAt_ = Clock::now();
        EXPECT_EQ(::sendto(fd_.get(), request.data(), request.size(), 0,
                           reinterpret_cast<const sockaddr*>(&socketAddress), length),
                  static_cast<ssize_t>(request.size()))
            << std::strerror(errno);
        return echo;
    }

    // The replies that arrive within the wait; returns early once it has
    // `enough` of them.
    std::vector<Reply> receive(double waitMs, std::size_t enough = SIZE_MAX) {
        std::vector<Reply> replies;
        const auto end = Clock::now() + std::chrono::microseconds(static_cast<long>(waitMs * 1000));
        while (replies.size() < enough) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
            if (left <= 0) break;
            pollfd entry{fd_.get(), POLLIN, 0};
            if (::poll(&entry, 1, static_cast<int>(left)) <= 0) continue;
            std::uint8_t buffer[1500];
            sockaddr_storage source{};
            socklen_t length = sizeof source;
            const ssize_t count =
                ::recvfrom(fd_.get(), buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&source), &length);
            if (count <= 0) continue;
            const auto echo = ICMPPacket::parseReply(std::span(buffer, static_cast<std::size_t>(count)), family_);
            const auto from = ProbeAddress::fromSocketAddress(reinterpret_cast<const sockaddr*>(&source), length);
            if (echo && from) replies.push_back({*echo, *from, millisecondsSince(sentAt_)});
        }
        return replies;
    }

private:
    IPFamily family_;
    UniqueFd fd_;
    Clock::time_point sentAt_;
    std::mt19937_64 random_{std::random_device{}()};
};

IPFamily familyOf(const ProbeAddress& address) {
    return address.family;
}

// One probe, the replies that came back within the wait (or the first
// `enough` of them).
std::vector<Reply> probe(const std::string& text, double waitMs, ICMPPacket::Echo* sent = nullptr,
                         std::size_t enough = 1) {
    const auto to = address(text);
    PingSocket socket(familyOf(to));
    static std::uint16_t sequence = 1;
    const auto echo = socket.send(to, sequence++);
    if (sent) *sent = echo;
    return socket.receive(waitMs, enough);
}

// A counter of /proc/net/snmp ("Icmp", "InCsumErrors") or, with an empty
// group, of /proc/net/snmp6 ("Icmp6InCsumErrors").
long counter(const std::string& group, const std::string& name) {
    if (group.empty()) {
        std::ifstream in("/proc/net/snmp6");
        std::string key;
        long value = 0;
        while (in >> key >> value)
            if (key == name) return value;
        return -1;
    }
    std::ifstream in("/proc/net/snmp");
    std::string header;
    std::string values;
    while (std::getline(in, header) && std::getline(in, values)) {
        if (header.rfind(group + ":", 0) != 0) continue;
        std::istringstream keys(header);
        std::istringstream numbers(values);
        std::string key;
        std::string number;
        while (keys >> key && numbers >> number)
            if (key == name) return std::stol(number);
    }
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
        ASSERT_FALSE(env("NERIVANE_LAB").empty()) << "run through lab/run-lab-test";
        ASSERT_FALSE(env("NERIVANE_LAB_CMD").empty()) << "run through lab/run-lab-test";
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

TEST_F(ResponderLab, ForeignRepliesCarryAnotherToken) {
    lab("set nine.lab mode=foreign");
    for (const std::string host : {"9.9.9.9", "2620:fe::fe"}) {
        ICMPPacket::Echo sent;
        const auto replies = probe(host, 1000, &sent);
        ASSERT_EQ(replies.size(), 1u) << host;
        EXPECT_EQ(replies[0].echo.sequence, sent.sequence);
        EXPECT_NE(replies[0].echo.token, sent.token);
        EXPECT_EQ(replies[0].echo.token, sent.token ^ EchoReply::foreignTokenMask);
    }
}

TEST_F(ResponderLab, DuplicateRepliesComeTwice) {
    lab("set 8.8.8.8 mode=duplicate");
    lab("set fe80::1 mode=duplicate");
    for (const std::string host : {"8.8.8.8", "fe80::1%eth0"}) {
        ICMPPacket::Echo sent;
        const auto replies = probe(host, 1000, &sent, 2);
        ASSERT_EQ(replies.size(), 2u) << host;
        EXPECT_EQ(replies[0].echo, replies[1].echo);
        EXPECT_EQ(replies[0].echo.token, sent.token);
    }
}

TEST_F(ResponderLab, LateRepliesComeAfterTheTwoSecondTimeOut) {
    lab("set 1.1.1.1 mode=late");
    lab("set 2001:4860:4860::8888 mode=late");
    PingSocket socket4(IPFamily::v4);
    PingSocket socket6(IPFamily::v6);
    const auto sent4 = socket4.send(address("1.1.1.1"), 7);
    const auto sent6 = socket6.send(address("2001:4860:4860::8888"), 7);
    EXPECT_TRUE(socket4.receive(1900, 1).empty());
    EXPECT_TRUE(socket6.receive(10, 1).empty());
    for (auto [socket, sent] : {std::pair{&socket4, sent4}, std::pair{&socket6, sent6}}) {
        const auto replies = socket->receive(3000, 1);
        ASSERT_EQ(replies.size(), 1u);
        EXPECT_EQ(replies[0].echo.token, sent.token);
        EXPECT_GT(replies[0].milliseconds, 2000);
        EXPECT_LT(replies[0].milliseconds, 4900);
    }
}

TEST_F(ResponderLab, CorruptRepliesArriveWithABadChecksum) {
    lab("set one.lab mode=corrupt");
    // A raw socket sees IPv4 replies before the kernel's checksum test.
    UniqueFd raw(::socket(AF_INET, SOCK_RAW | SOCK_NONBLOCK, IPPROTO_ICMP));
    ASSERT_TRUE(raw.valid());
    const long before4 = counter("Icmp", "InCsumErrors");
    const long before6 = counter("", "Icmp6InCsumErrors");
    ASSERT_GE(before4, 0);
    ASSERT_GE(before6, 0);
    ICMPPacket::Echo sent;
    EXPECT_TRUE(probe("1.1.1.1", 800, &sent).empty());
    EXPECT_TRUE(probe("2606:4700:4700::1111", 800).empty());
    EXPECT_GE(counter("Icmp", "InCsumErrors"), before4 + 1);
    EXPECT_GE(counter("", "Icmp6InCsumErrors"), before6 + 1);

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

TEST_F(ResponderLab, LossDropsAboutTheGivenShare) {
    lab("set 9.9.9.9 loss=50");
    PingSocket socket(IPFamily::v4);
    int answered = 0;
    for (std::uint16_t i = 0; i < 100; ++i) {
        socket.send(address("9.9.9.9"), i);
        answered += static_cast<int>(socket.receive(20).size());
    }
    answered += static_cast<int>(socket.receive(300).size());
    EXPECT_GT(answered, 25);
    EXPECT_LT(answered, 75);
}

// Sends raw ICMP or ICMPv6 messages (the kernel adds the IP header and, for
// ICMPv6, the checksum).
void sendRaw(int fd, const ProbeAddress& to, const std::vector<std::uint8_t>& message) {
    socklen_t length = 0;
    const auto socketAddress = to.socketAddress(0, length);
    ::sendto(fd, message.data(), message.size(), 0, reinterpret_cast<const sockaddr*>(&socketAddress), length);
}

TEST_F(ResponderLab, SurvivesShortMalformedAndForeignPackets) {
    UniqueFd raw4(::socket(AF_INET, SOCK_RAW, IPPROTO_ICMP));
    UniqueFd raw6(::socket(AF_INET6, SOCK_RAW, IPPROTO_ICMPV6));
    ASSERT_TRUE(raw4.valid());
    ASSERT_TRUE(raw6.valid());
    std::mt19937 random(20240611);
    const auto bytes = [&](std::size_t size) {
        std::vector<std::uint8_t> data(size);
        for (auto& byte : data) byte = static_cast<std::uint8_t>(random());
        return data;
    };
    const std::vector<ProbeAddress> targets4{address("1.1.1.1"), address("10.77.0.1"), address("203.0.113.10")};
    const std::vector<ProbeAddress> targets6{address("2606:4700:4700::1111"), address("fe80::1%eth0")};

    for (const auto& to : targets4) {
        // Echo requests too short to hold a token, with a valid checksum.
        for (std::size_t size = 1; size < 16; ++size) {
            auto message = bytes(size);
            message[0] = ICMPPacket::echoRequestV4;
            if (size > 1) message[1] = 0;
            if (size >= 4) {
                message[2] = message[3] = 0;
                const auto sum = ICMPPacket::checksum(message);
                message[2] = static_cast<std::uint8_t>(sum >> 8);
                message[3] = static_cast<std::uint8_t>(sum);
            }
            sendRaw(raw4.get(), to, message);
        }
        // A full request with a wrong checksum, one with a non-zero code,
        // replies and other types, and plain noise of every size.
        auto request = std::vector<std::uint8_t>(ICMPPacket::request({0xbeef, 1, 2}, IPFamily::v4).begin(),
                                                 ICMPPacket::request({0xbeef, 1, 2}, IPFamily::v4).end());
        request[30] ^= 0xff;
        sendRaw(raw4.get(), to, request);
        auto coded = ICMPPacket::message(ICMPPacket::echoRequestV4, {0xbeef, 2, 3});
        coded[1] = 9;
        sendRaw(raw4.get(), to, {coded.begin(), coded.end()});
        const auto reply = ICMPPacket::message(ICMPPacket::echoReplyV4, {0xbeef, 3, 4});
        sendRaw(raw4.get(), to, {reply.begin(), reply.end()});
        for (int i = 0; i < 150; ++i) sendRaw(raw4.get(), to, bytes(random() % 1400));
    }
    for (const auto& to : targets6) {
        for (std::size_t size = 1; size < 16; ++size) {
            auto message = bytes(std::max<std::size_t>(size, 4));
            message.resize(size);
            message[0] = ICMPPacket::echoRequestV6;
            if (size > 1) message[1] = 0;
            sendRaw(raw6.get(), to, message);
        }
        auto coded = ICMPPacket::request({0xbeef, 5, 6}, IPFamily::v6);
        coded[1] = 9;
        sendRaw(raw6.get(), to, {coded.begin(), coded.end()});
        for (int i = 0; i < 150; ++i) {
            auto noise = bytes(1 + random() % 1400);
            if (i % 3 == 0) noise[0] = ICMPPacket::echoRequestV6;
            sendRaw(raw6.get(), to, noise);
        }
    }
    // Garbage on the TCP host's port.
    for (int i = 0; i < 5; ++i) {
        UniqueFd tcp(::socket(AF_INET, SOCK_STREAM, 0));
        socklen_t length = 0;
        const auto socketAddress = address("203.0.113.10").socketAddress(443, length);
        if (::connect(tcp.get(), reinterpret_cast<const sockaddr*>(&socketAddress), length) == 0) {
            const auto noise = bytes(700);
            ::send(tcp.get(), noise.data(), noise.size(), MSG_NOSIGNAL);
        }
    }

    // None of the malformed requests (identifier 0xbeef, or too short to
    // carry one) was answered, and everything still works.
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

// A non-blocking connect: true when it completed within the wait, false
// when it is still pending; a refused connect fails the test.
bool connects(const std::string& host, int waitMs) {
    const auto to = address(host);
    UniqueFd tcp(::socket(to.family == IPFamily::v4 ? AF_INET : AF_INET6, SOCK_STREAM | SOCK_NONBLOCK, 0));
    socklen_t length = 0;
    const auto socketAddress = to.socketAddress(443, length);
    if (::connect(tcp.get(), reinterpret_cast<const sockaddr*>(&socketAddress), length) == 0) return true;
    EXPECT_EQ(errno, EINPROGRESS);
    pollfd entry{tcp.get(), POLLOUT, 0};
    if (::poll(&entry, 1, waitMs) <= 0) return false;
    int error = 0;
    socklen_t size = sizeof error;
    ::getsockopt(tcp.get(), SOL_SOCKET, SO_ERROR, &error, &size);
    EXPECT_EQ(error, 0) << host << ": " << std::strerror(error);
    return error == 0;
}

TEST_F(ResponderLab, TcpOnlyHostAnswersPort443ButNoPing) {
    for (const std::string host : {"203.0.113.10", "2001:db8:77::10"}) {
        EXPECT_TRUE(connects(host, 2000)) << host;
        EXPECT_TRUE(probe(host, 800).empty()) << host;
    }
}

TEST_F(ResponderLab, SilentHostAnswersNothing) {
    for (const std::string host : {"203.0.113.20", "2001:db8:77::20"}) {
        EXPECT_FALSE(connects(host, 800)) << host;
        EXPECT_TRUE(probe(host, 800).empty()) << host;
    }
}

std::vector<std::string> lookup(const std::string& host, int& status, double& milliseconds) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* result = nullptr;
    const auto start = Clock::now();
    status = ::getaddrinfo(host.c_str(), nullptr, &hints, &result);
    milliseconds = millisecondsSince(start);
    std::vector<std::string> addresses;
    for (auto* entry = result; entry; entry = entry->ai_next) {
        const auto parsed = ProbeAddress::fromSocketAddress(entry->ai_addr, entry->ai_addrlen);
        if (parsed) addresses.push_back(parsed->text());
    }
    if (result) ::freeaddrinfo(result);
    return addresses;
}

TEST_F(ResponderLab, LabNamesResolveAndOtherLookupsFailAtOnce) {
    int status = 0;
    double milliseconds = 0;
    auto addresses = lookup("one.lab", status, milliseconds);
    ASSERT_EQ(status, 0);
    EXPECT_NE(std::find(addresses.begin(), addresses.end(), "1.1.1.1"), addresses.end());
    EXPECT_NE(std::find(addresses.begin(), addresses.end(), "2606:4700:4700::1111"), addresses.end());
    addresses = lookup("tcp-only.lab", status, milliseconds);
    EXPECT_NE(std::find(addresses.begin(), addresses.end(), "203.0.113.10"), addresses.end());

    for (const std::string host : {"example.com", "one.one.one.one", "nerivane-lab-test.invalid"}) {
        lookup(host, status, milliseconds);
        EXPECT_NE(status, 0) << host;
        // A query that went anywhere would wait for the 1-second time-out.
        EXPECT_LT(milliseconds, 800) << host;
    }
}

TEST_F(ResponderLab, TheResolverIsTheClientsOwnLoopback) {
    // Stand where the resolver points: the query must come here, to the
    // client namespace's own loopback, and nowhere else.
    UniqueFd server(::socket(AF_INET, SOCK_DGRAM, 0));
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(53);
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(server.get(), reinterpret_cast<sockaddr*>(&local), sizeof local), 0) << std::strerror(errno);
    int status = 0;
    double milliseconds = 0;
    std::thread client([&] { lookup("nerivane-resolver-test.example", status, milliseconds); });
    pollfd entry{server.get(), POLLIN, 0};
    const bool asked = ::poll(&entry, 1, 3000) == 1;
    client.join();
    EXPECT_TRUE(asked);
    EXPECT_NE(status, 0);

    std::ifstream nsswitch("/etc/nsswitch.conf");
    std::string line;
    bool found = false;
    while (std::getline(nsswitch, line)) {
        if (line.rfind("hosts:", 0) == 0) {
            EXPECT_EQ(line, "hosts: files dns");
            found = true;
        }
    }
    EXPECT_TRUE(found);
}

}  // namespace
}  // namespace nerivane::lab
