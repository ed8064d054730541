// Test support for the echo prober: a private network namespace run on a
// thread of its own (so probes never touch this machine's namespace), and a
// responder that reads echo requests off a raw socket and answers them by
// hand, on time, late, or wrongly.
#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/icmp6.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "NerivaneKit/platform/UniqueFd.h"
#include "NerivaneKit/probing/ICMPPacket.h"
#include "NerivaneKit/probing/ProbeAddress.h"

namespace nerivane::test {

inline const ProbeAddress loopbackV4 = ProbeAddress::v4({127, 0, 0, 1});
inline const ProbeAddress loopbackV6 = ProbeAddress::v6({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1});

inline const ProbeAddress& loopback(IPFamily family) { return family == IPFamily::v4 ? loopbackV4 : loopbackV6; }

struct PrivateNetwork {
    // Writes "0 2147483647" to ping_group_range (everyone may open ping
    // sockets) or "1 0" (nobody may, as on this machine's own namespace).
    bool pingSocketsAllowed = true;
    // When false the kernel ignores echo requests, and only the test's
    // responder answers.
    bool kernelAnswersEcho = true;
};

inline bool writeSetting(const std::string& path, const std::string& value) {
    std::ofstream file(path);
    file << value;
    file.flush();
    return static_cast<bool>(file);
}

// Reads the gid range that may open ping sockets in the caller's namespace.
inline bool pingSocketsAllowedHere() {
    std::ifstream file("/proc/sys/net/ipv4/ping_group_range");
    long low = 1, high = 0;
    if (!(file >> low >> high)) return false;
    const long gid = static_cast<long>(getegid());
    return low <= gid && gid <= high;
}

// Runs `body` on a new thread that has moved into a fresh network namespace
// with its loopback up. Threads that body starts (a SerialQueue's) inherit the
// namespace; the namespace vanishes when they and their sockets are gone.
// Returns why the namespace could not be made, without running body.
inline std::optional<std::string> runInPrivateNetwork(const PrivateNetwork& settings,
                                                      const std::function<void()>& body) {
    std::optional<std::string> failure;
    std::thread thread([&] {
        if (unshare(CLONE_NEWNET) != 0) {
            failure = std::string("cannot create a network namespace (needs CAP_SYS_ADMIN): ") + std::strerror(errno);
            return;
        }
        UniqueFd control(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        ifreq request{};
        std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
        if (!control || ioctl(control.get(), SIOCGIFFLAGS, &request) != 0) {
            failure = std::string("cannot read the loopback flags: ") + std::strerror(errno);
            return;
        }
        request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
        if (ioctl(control.get(), SIOCSIFFLAGS, &request) != 0) {
            failure = std::string("cannot bring the loopback up: ") + std::strerror(errno);
            return;
        }
        const std::string ignore = settings.kernelAnswersEcho ? "0" : "1";
        if (!writeSetting("/proc/sys/net/ipv4/ping_group_range", settings.pingSocketsAllowed ? "0 2147483647" : "1 0") ||
            !writeSetting("/proc/sys/net/ipv4/icmp_echo_ignore_all", ignore) ||
            !writeSetting("/proc/sys/net/ipv6/icmp/echo_ignore_all", ignore)) {
            failure = "cannot write the namespace's ICMP settings";
            return;
        }
        try {
            body();
        } catch (const std::exception& error) {
            ADD_FAILURE() << "uncaught exception: " << error.what();
        }
    });
    thread.join();
    return failure;
}

// Reads the echo requests that reach loopback and answers them as told. Its
// raw socket sees each request after the kernel has rewritten it, so replies
// carry exactly the identifier a ping socket expects.
class EchoResponder {
public:
    // `source` (optional) binds the socket, so replies come from that address.
    explicit EchoResponder(IPFamily family, std::optional<ProbeAddress> source = std::nullopt) : family_(family) {
        const int domain = family == IPFamily::v4 ? AF_INET : AF_INET6;
        const int protocol = family == IPFamily::v4 ? static_cast<int>(IPPROTO_ICMP) : static_cast<int>(IPPROTO_ICMPV6);
        fd_ = UniqueFd(::socket(domain, SOCK_RAW | SOCK_CLOEXEC, protocol));
        if (!fd_) {
            ADD_FAILURE() << "responder socket: " << std::strerror(errno);
            return;
        }
        if (family == IPFamily::v6) {
            icmp6_filter filter{};
            ICMP6_FILTER_SETBLOCKALL(&filter);
            ICMP6_FILTER_SETPASS(ICMP6_ECHO_REQUEST, &filter);
            setsockopt(fd_.get(), IPPROTO_ICMPV6, ICMP6_FILTER, &filter, sizeof filter);
        }
        if (source) {
            socklen_t length = 0;
            const sockaddr_storage address = source->socketAddress(0, length);
            if (bind(fd_.get(), reinterpret_cast<const sockaddr*>(&address), length) != 0)
                ADD_FAILURE() << "responder bind: " << std::strerror(errno);
        }
    }

    // The next echo request to arrive, within a few seconds.
    std::optional<ICMPPacket::Echo> nextRequest() {
        for (;;) {
            pollfd ready{fd_.get(), POLLIN, 0};
            if (::poll(&ready, 1, 5000) != 1) return std::nullopt;
            std::uint8_t data[1500];
            const ssize_t count = recv(fd_.get(), data, sizeof data, 0);
            if (count <= 0) return std::nullopt;
            std::span<const std::uint8_t> icmp(data, static_cast<std::size_t>(count));
            if (family_ == IPFamily::v4) {  // raw IPv4 sockets see the IP header
                const std::size_t header = static_cast<std::size_t>(data[0] & 0x0f) * 4;
                if (icmp.size() < header) continue;
                icmp = icmp.subspan(header);
            }
            if (auto echo = ICMPPacket::parseRequest(icmp, family_)) return echo;
        }
    }

    // Sends an echo reply to loopback. For IPv4 the checksum can be spoiled;
    // the kernel fills in (and so always gets right) the ICMPv6 checksum.
    void reply(const ICMPPacket::Echo& echo, bool corruptChecksum = false) {
        auto message = ICMPPacket::message(
            family_ == IPFamily::v4 ? ICMPPacket::echoReplyV4 : ICMPPacket::echoReplyV6, echo);
        if (family_ == IPFamily::v6) message[2] = message[3] = 0;
        if (corruptChecksum) message[3] ^= 0x5a;
        socklen_t length = 0;
        const sockaddr_storage address = loopback(family_).socketAddress(0, length);
        const ssize_t sent = sendto(fd_.get(), message.data(), message.size(), 0,
                                    reinterpret_cast<const sockaddr*>(&address), length);
        EXPECT_EQ(sent, static_cast<ssize_t>(message.size())) << std::strerror(errno);
    }

private:
    IPFamily family_;
    UniqueFd fd_;
};

}  // namespace nerivane::test
