// Test support for the probers, which only ever probe loopback: its
// addresses, listeners of our own for TCP, and a private network namespace
// run on a thread of its own (so echo probes never touch this machine's
// namespace).
#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>
#include <sched.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <thread>

#include "NerivaneKit/platform/UniqueFd.h"
#include "NerivaneKit/net/ProbeAddress.h"

namespace nerivane::test {

inline const ProbeAddress loopbackV4 = ProbeAddress::v4({127, 0, 0, 1});
inline const ProbeAddress loopbackV6 = ProbeAddress::v6({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1});

inline const ProbeAddress& loopback(IPFamily family) { return family == IPFamily::v4 ? loopbackV4 : loopbackV6; }

inline int domainOf(IPFamily family) { return family == IPFamily::v4 ? AF_INET : AF_INET6; }

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

};

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

}  // namespace nerivane::test
