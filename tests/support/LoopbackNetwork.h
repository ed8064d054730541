// Test support for the probers, which only ever probe loopback: its
// addresses, listeners of our own for TCP, a private network namespace run on
// a thread of its own (so echo probes never touch this machine's namespace),
// and a responder that answers echo requests by hand when the test says so.
#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/icmp6.h>
#include <poll.h>
#include <sched.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "NerivaneKit/platform/UniqueFd.h"
#include "NerivaneKit/probing/ICMPPacket.h"
#include "NerivaneKit/probing/ProbeAddress.h"
#include "NerivaneKit/probing/ProbeError.h"

namespace nerivane::test {

inline const ProbeAddress loopbackV4 = ProbeAddress::v4({127, 0, 0, 1});
inline const ProbeAddress loopbackV6 = ProbeAddress::v6({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1});

inline const ProbeAddress& loopback(IPFamily family) { return family == IPFamily::v4 ? loopbackV4 : loopbackV6; }

inline int domainOf(IPFamily family) { return family == IPFamily::v4 ? AF_INET : AF_INET6; }

// The error that `work` threw, if any.
template <class Work>
std::optional<ProbeError> errorOf(Work work) try {
    return work(), std::nullopt;
} catch (const ProbeError& error) {
    return error;
}

inline std::size_t openDescriptors() {
    return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
}

inline bool hasIPv6Loopback() {
    UniqueFd socket(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
    socklen_t length = 0;
    const auto address = loopbackV6.socketAddress(0, length);
    return socket && ::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), length) == 0;
}

// A listening TCP socket on a loopback address with a port of the kernel's choice.
struct Listener {
    UniqueFd socket;
    std::uint16_t port = 0;

    Listener(IPFamily family, int backlog) : socket(::socket(domainOf(family), SOCK_STREAM | SOCK_CLOEXEC, 0)) {
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
inline std::uint16_t closedPort(IPFamily family) { return Listener(family, 1).port; }

// A loopback listener that never answers new connections: its accept queue
// is full (backlog 0, one connection held and never accepted), so the kernel
// drops further SYNs and the attempts stay pending. `silent` is false if the
// kernel would not fill it.
struct SilentTarget {
    Listener listener;
    std::vector<UniqueFd> fillers;
    bool silent = false;

    explicit SilentTarget(IPFamily family) : listener(family, 0) {
        for (int i = 0; i < 8 && !silent; ++i) {
            UniqueFd socket(::socket(domainOf(family), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
            socklen_t length = 0;
            const auto address = loopback(family).socketAddress(listener.port, length);
            ::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), length);
            pollfd ready{socket.get(), POLLOUT, 0};
            if (::poll(&ready, 1, 300) == 1) fillers.push_back(std::move(socket));
            else silent = true;  // this SYN was dropped: the queue is full
        }
    }
};

struct PrivateNetwork {
    // Writes "0 2147483647" to ping_group_range (everyone may open ping
    // sockets) or "1 0" (nobody may, as on this machine's own namespace).
    bool pingSocketsAllowed = true;
    // When false the kernel ignores echo requests, and only the test's
    // responder answers.
    bool kernelAnswersEcho = true;
};

// Runs `body` on a new thread that has moved into a fresh network namespace
// with its loopback up. Threads that body starts (a SerialQueue's) inherit the
// namespace; the namespace vanishes when they and their sockets are gone.
// Returns why the namespace could not be made, without running body.
inline std::optional<std::string> runInPrivateNetwork(const PrivateNetwork& settings,
                                                      const std::function<void()>& body) {
    const auto write = [](const std::string& path, const std::string& value) { return bool(std::ofstream(path) << value << std::flush); };
    std::optional<std::string> failure;
    std::thread thread([&] {
        if (unshare(CLONE_NEWNET) != 0)
            return void(failure = std::string("cannot create a network namespace (needs CAP_SYS_ADMIN): ") + std::strerror(errno));
        // A child started from this thread shares its namespace.
        if (std::system("ip link set lo up") != 0) return void(failure = "cannot bring the namespace's loopback up");
        const std::string ignore = settings.kernelAnswersEcho ? "0" : "1";
        if (!write("/proc/sys/net/ipv4/ping_group_range", settings.pingSocketsAllowed ? "0 2147483647" : "1 0") ||
            !write("/proc/sys/net/ipv4/icmp_echo_ignore_all", ignore) || !write("/proc/sys/net/ipv6/icmp/echo_ignore_all", ignore))
            return void(failure = "cannot write the namespace's ICMP settings");
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
    explicit EchoResponder(IPFamily family)
        : family_(family),
          fd_(::socket(domainOf(family), SOCK_RAW | SOCK_CLOEXEC,
                       family == IPFamily::v4 ? static_cast<int>(IPPROTO_ICMP) : static_cast<int>(IPPROTO_ICMPV6))) {
        if (!fd_) ADD_FAILURE() << "responder socket: " << std::strerror(errno);
        if (fd_ && family == IPFamily::v6) {
            icmp6_filter filter{};
            ICMP6_FILTER_SETBLOCKALL(&filter);
            ICMP6_FILTER_SETPASS(ICMP6_ECHO_REQUEST, &filter);
            setsockopt(fd_.get(), IPPROTO_ICMPV6, ICMP6_FILTER, &filter, sizeof filter);
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

    // Sends an echo reply to loopback; the kernel fills in the ICMPv6 checksum.
    void reply(const ICMPPacket::Echo& echo) {
        auto message = ICMPPacket::message(
            family_ == IPFamily::v4 ? ICMPPacket::echoReplyV4 : ICMPPacket::echoReplyV6, echo);
        if (family_ == IPFamily::v6) message[2] = message[3] = 0;
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
