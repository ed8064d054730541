#include "NerivaneKit/probing/HopSweep.h"

#include <linux/errqueue.h>
#include <netdb.h>
#include <netinet/icmp6.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "NerivaneKit/platform/UniqueFd.h"
#include "NerivaneKit/probing/ICMPPacket.h"

namespace nerivane {
namespace {

using Clock = std::chrono::steady_clock;
// Send and arrival times are of the real-time clock: the kernel stamps
// arrivals with it (SO_TIMESTAMPNS), and on a veth the errors of the first
// TTLs queue while the later ones are still being sent.
using WallClock = std::chrono::system_clock;

// The token of a sweep probe: a fixed tag in the high bits, the TTL in the
// low byte. It rides in the echo payload (ICMP) or is the whole payload (UDP).
constexpr std::uint64_t tokenTag = 0x6e76'7377'6565'7000;  // "nvsweep"
// traceroute's first port: nothing listens there, so the destination says
// port unreachable.
constexpr std::uint16_t firstUDPPort = 33434;

struct SweepSocket {
    UniqueFd descriptor;
    bool isUDP = false;
};

SweepSocket openSocket(IPFamily family) {
    const int domain = family == IPFamily::v4 ? AF_INET : AF_INET6;
    const int icmp = family == IPFamily::v4 ? int{IPPROTO_ICMP} : int{IPPROTO_ICMPV6};
    SweepSocket opened{UniqueFd(::socket(domain, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, icmp)), false};
    // Ping sockets are refused outside net.ipv4.ping_group_range; UDP needs no group.
    if (!opened.descriptor)
        opened = {UniqueFd(::socket(domain, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_UDP)), true};
    if (!opened.descriptor) return opened;
    const int on = 1;
    const bool errors = family == IPFamily::v4
                            ? setsockopt(opened.descriptor.get(), SOL_IP, IP_RECVERR, &on, sizeof on) == 0
                            : setsockopt(opened.descriptor.get(), SOL_IPV6, IPV6_RECVERR, &on, sizeof on) == 0;
    if (!errors) opened.descriptor.reset();
    if (opened.descriptor) setsockopt(opened.descriptor.get(), SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    return opened;
}

bool setTTL(int fd, IPFamily family, int ttl) {
    return family == IPFamily::v4 ? setsockopt(fd, SOL_IP, IP_TTL, &ttl, sizeof ttl) == 0
                                  : setsockopt(fd, SOL_IPV6, IPV6_UNICAST_HOPS, &ttl, sizeof ttl) == 0;
}

std::uint64_t readToken(const std::uint8_t* data) {
    std::uint64_t token = 0;
    for (int i = 0; i < 8; ++i) token = token << 8 | data[i];
    return token;
}

// The TTL a returned payload names; ping sockets return the echo header
// first, UDP sockets only the payload.
std::optional<int> ttlOf(const std::uint8_t* data, std::size_t length, bool isUDP) {
    const std::size_t offset = isUDP ? 0 : 8;
    if (length < offset + 8) return std::nullopt;
    const std::uint64_t token = readToken(data + offset);
    if ((token & ~std::uint64_t{0xff}) != tokenTag) return std::nullopt;
    return static_cast<int>(token & 0xff);
}

bool send(const SweepSocket& socket, const ProbeAddress& destination, int ttl) {
    const int fd = socket.descriptor.get();
    if (!setTTL(fd, destination.family, ttl)) return false;
    const std::uint64_t token = tokenTag | static_cast<std::uint64_t>(ttl);
    socklen_t length = 0;
    if (socket.isUDP) {
        const auto address = destination.socketAddress(static_cast<std::uint16_t>(firstUDPPort + ttl - 1), length);
        std::array<std::uint8_t, 8> payload{};
        for (int i = 0; i < 8; ++i) payload[i] = static_cast<std::uint8_t>(token >> (56 - 8 * i));
        return ::sendto(fd, payload.data(), payload.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&address),
                        length) >= 0;
    }
    const auto address = destination.socketAddress(0, length);
    const auto packet = ICMPPacket::request({0, static_cast<std::uint16_t>(ttl), token}, destination.family);
    return ::sendto(fd, packet.data(), packet.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&address),
                    length) >= 0;
}

struct Answer {
    ProbeAddress address;
    WallClock::time_point at;
    bool isDestination = false;
};

// The kernel's arrival stamp of a message, else now.
WallClock::time_point arrival(msghdr& message) {
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr; header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_TIMESTAMPNS) continue;
        timespec stamp{};
        std::memcpy(&stamp, CMSG_DATA(header), sizeof stamp);
        return WallClock::time_point(std::chrono::duration_cast<WallClock::duration>(
            std::chrono::seconds(stamp.tv_sec) + std::chrono::nanoseconds(stamp.tv_nsec)));
    }
    return WallClock::now();
}

// One datagram, or with MSG_ERRQUEUE one queued error, with its sender and
// ancillary data (arrival stamp, the error). Filled in place: the message
// points into the other members.
struct Received {
    std::array<std::uint8_t, 256> data{};
    std::array<char, 512> control{};
    sockaddr_storage from{};
    iovec vector{};
    msghdr message{};
    ssize_t length = -1;

    Received(const Received&) = delete;
    Received& operator=(const Received&) = delete;
    Received(int descriptor, int flags) {
        vector = {data.data(), data.size()};
        message.msg_name = &from;
        message.msg_namelen = sizeof from;
        message.msg_iov = &vector;
        message.msg_iovlen = 1;
        message.msg_control = control.data();
        message.msg_controllen = control.size();
        length = ::recvmsg(descriptor, &message, flags | MSG_DONTWAIT);
    }
};

// One queued ICMP error: the hop that sent it and the TTL it answers.
std::optional<std::pair<int, Answer>> readError(const SweepSocket& socket) {
    Received received(socket.descriptor.get(), MSG_ERRQUEUE);
    if (received.length < 0) return std::nullopt;
    auto& message = received.message;
    const ssize_t length = received.length;
    const auto& data = received.data;
    const auto at = arrival(message);
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr; header = CMSG_NXTHDR(&message, header)) {
        const bool v4 = header->cmsg_level == SOL_IP && header->cmsg_type == IP_RECVERR;
        const bool v6 = header->cmsg_level == SOL_IPV6 && header->cmsg_type == IPV6_RECVERR;
        if (!v4 && !v6) continue;
        sock_extended_err error{};
        std::memcpy(&error, CMSG_DATA(header), sizeof error);
        if (error.ee_origin != SO_EE_ORIGIN_ICMP && error.ee_origin != SO_EE_ORIGIN_ICMP6) continue;
        const auto* offender = SO_EE_OFFENDER(reinterpret_cast<const sock_extended_err*>(CMSG_DATA(header)));
        const socklen_t offenderLength = v4 ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
        const auto address = ProbeAddress::fromSocketAddress(offender, offenderLength);
        const auto ttl = ttlOf(data.data(), static_cast<std::size_t>(length), socket.isUDP);
        if (!address || !ttl) return std::nullopt;
        // Port unreachable comes from the destination of a UDP sweep.
        const bool portUnreachable = v4 ? error.ee_type == ICMP_DEST_UNREACH && error.ee_code == ICMP_PORT_UNREACH
                                        : error.ee_type == ICMP6_DST_UNREACH && error.ee_code == ICMP6_DST_UNREACH_NOPORT;
        return std::pair{*ttl, Answer{*address, at, portUnreachable}};
    }
    return std::nullopt;
}

// One echo reply from the destination.
std::optional<std::pair<int, Answer>> readReply(const SweepSocket& socket, IPFamily family, bool& drained) {
    Received received(socket.descriptor.get(), 0);
    auto& message = received.message;
    const ssize_t length = received.length;
    const auto& data = received.data;
    const auto& from = received.from;
    if (length < 0) {
        drained = true;
        return std::nullopt;
    }
    const socklen_t fromLength = message.msg_namelen;
    const auto at = arrival(message);
    const auto echo = ICMPPacket::parseReply({data.data(), static_cast<std::size_t>(length)}, family);
    const auto address = ProbeAddress::fromSocketAddress(reinterpret_cast<const sockaddr*>(&from), fromLength);
    if (!echo || !address || (echo->token & ~std::uint64_t{0xff}) != tokenTag) return std::nullopt;
    return std::pair{static_cast<int>(echo->token & 0xff), Answer{*address, at, true}};
}

// The reverse name of an address if the resolver gives it within `seconds`.
// The lookup cannot be interrupted, so it runs on a thread of its own that
// may outlive the wait and answers into shared state nobody reads any more.
std::string quickReverseName(const ProbeAddress& address, Seconds seconds) {
    struct Shared {
        std::mutex mutex;
        std::condition_variable done;
        std::optional<std::string> name;
    };
    auto shared = std::make_shared<Shared>();
    try {
        std::thread([shared, address] {
            socklen_t length = 0;
            const auto socketAddress = address.socketAddress(0, length);
            std::array<char, NI_MAXHOST> host{};
            const int status = ::getnameinfo(reinterpret_cast<const sockaddr*>(&socketAddress), length, host.data(),
                                             host.size(), nullptr, 0, NI_NAMEREQD);
            std::lock_guard lock(shared->mutex);
            shared->name = status == 0 ? std::string(host.data()) : std::string();
            shared->done.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        return {};
    }
    std::unique_lock lock(shared->mutex);
    shared->done.wait_for(lock, seconds, [&] { return shared->name.has_value(); });
    return shared->name.value_or(std::string());
}

}  // namespace

std::vector<HopSweep::Hop> HopSweep::run(const ProbeAddress& destination, const Options& options) {
    const SweepSocket socket = openSocket(destination.family);
    if (!socket.descriptor) return {};
    const int maxHops = std::clamp(options.maxHops, 1, 64);

    std::map<int, WallClock::time_point> sentAt;
    std::map<int, Answer> answers;
    // The lowest TTL at which the destination answered; no hop lies beyond it.
    const auto lastTTL = [&] {
        int last = maxHops;
        for (const auto& [ttl, answer] : answers)
            if (answer.isDestination) last = std::min(last, ttl);
        return last;
    };
    for (int round = 0; round < std::max(options.rounds, 1); ++round) {
        bool sentAny = false;
        for (int ttl = 1; ttl <= lastTTL(); ++ttl) {
            if (answers.contains(ttl)) continue;
            const auto before = WallClock::now();
            if (send(socket, destination, ttl)) {
                sentAt[ttl] = before;
                sentAny = true;
            }
        }
        if (!sentAny) break;
        const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(options.roundTime);
        while (true) {
            const auto complete = [&] {
                for (int ttl = 1; ttl <= lastTTL(); ++ttl)
                    if (!answers.contains(ttl)) return false;
                return true;
            };
            if (complete()) break;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) break;
            pollfd waiting{socket.descriptor.get(), POLLIN | POLLERR, 0};
            if (::poll(&waiting, 1, static_cast<int>(left)) <= 0) continue;
            const auto keep = [&](const std::optional<std::pair<int, Answer>>& answer) {
                if (answer && answer->first >= 1 && answer->first <= maxHops) answers.try_emplace(answer->first, answer->second);
            };
            while (auto error = readError(socket)) keep(error);
            if (!socket.isUDP) {
                bool drained = false;
                while (!drained) keep(readReply(socket, destination.family, drained));
            }
            // Whatever else queued an error (or nothing did): clear it so poll sleeps.
            int pending = 0;
            socklen_t size = sizeof pending;
            ::getsockopt(socket.descriptor.get(), SOL_SOCKET, SO_ERROR, &pending, &size);
        }
    }

    std::vector<Hop> hops;
    for (int ttl = 1; ttl <= lastTTL(); ++ttl) {
        Hop hop{ttl, std::nullopt, std::nullopt, false, {}};
        if (const auto found = answers.find(ttl); found != answers.end()) {
            hop.address = found->second.address;
            hop.isDestination = found->second.isDestination;
            hop.roundTripMilliseconds =
                std::max(0.0, std::chrono::duration<double, std::milli>(found->second.at - sentAt[ttl]).count());
            if (options.reverseNames && !hop.isDestination) hop.name = quickReverseName(*hop.address, options.nameTime);
        }
        hops.push_back(std::move(hop));
    }
    return hops;
}

std::optional<HopSweep::Hop> HopSweep::providerEdge(const std::vector<Hop>& hops,
                                                    const std::optional<ProbeAddress>& router) {
    const auto same = [](ProbeAddress a, ProbeAddress b) {
        a.scopeID = b.scopeID = 0;
        return a == b;
    };
    int routerTTL = 1;
    for (const auto& hop : hops) {
        if (router && hop.address && same(*hop.address, *router)) {
            routerTTL = hop.ttl;
            break;
        }
    }
    int skipped = 0;
    for (const auto& hop : hops) {
        if (hop.ttl <= routerTTL) continue;
        if (hop.isDestination) return std::nullopt;
        if (hop.address && !(router && same(*hop.address, *router))) return hop;
        if (++skipped > maxSkippedHops) return std::nullopt;
    }
    return std::nullopt;
}

}  // namespace nerivane
