#include "NerivaneKit/probing/ICMPProber.h"

#include <fcntl.h>
#include <netinet/icmp6.h>
#include <netinet/ip_icmp.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <random>
#include <thread>

#include "NerivaneKit/platform/DescriptorSource.h"
#include "NerivaneKit/platform/MachClock.h"
#include "NerivaneKit/platform/SerialQueue.h"
#include "NerivaneKit/probing/ICMPPacket.h"
#include "NerivaneKit/probing/ProbeError.h"

namespace nerivane {
namespace {

constexpr Seconds lateWindow{30};
// Measured: after enabling, stamping was on within 2 ms on a loaded 2-core
// machine; this leaves a wide margin and is paid once per opening.
constexpr std::chrono::milliseconds timestampSettling{10};
// Large enough for any reply on an Ethernet-sized path, IP header included.
constexpr std::size_t receiveBufferSize = 1500;

int domainOf(IPFamily family) { return family == IPFamily::v4 ? AF_INET : AF_INET6; }
int protocolOf(IPFamily family) {
    return family == IPFamily::v4 ? static_cast<int>(IPPROTO_ICMP) : static_cast<int>(IPPROTO_ICMPV6);
}

// The raw ICMP type filter of raw(7). Spelled out here because <linux/icmp.h>
// drags in <linux/if.h>, which clashes with <net/if.h>.
constexpr int icmpFilterOption = 1;  // ICMP_FILTER at level SOL_RAW
struct IcmpFilter {
    std::uint32_t blockedTypes;  // bit n set: drop ICMP type n
};

// Raw sockets see every ICMP message the host receives; let only echo
// replies through, so that other traffic does not wake or cost us.
void filterEchoReplies(int fd, IPFamily family) {
    int result = 0;
    if (family == IPFamily::v4) {
        const IcmpFilter filter{~(1u << ICMP_ECHOREPLY)};
        result = setsockopt(fd, SOL_RAW, icmpFilterOption, &filter, sizeof filter);
    } else {
        icmp6_filter filter{};
        ICMP6_FILTER_SETBLOCKALL(&filter);
        ICMP6_FILTER_SETPASS(ICMP6_ECHO_REPLY, &filter);
        result = setsockopt(fd, IPPROTO_ICMPV6, ICMP6_FILTER, &filter, sizeof filter);
    }
    if (result < 0) throw ProbeError::socket(errno);
}

// The kernel stamps each datagram with the real-time clock when it arrives.
// The probe clock is monotonic, so the stamp becomes the monotonic time that
// lay the same distance before now. A stamp from the future (the real-time
// clock was stepped back) counts as now.
std::optional<Ticks> arrivalTime(const msghdr& message, Ticks monotonicNow,
                                 std::chrono::sys_time<std::chrono::nanoseconds> realtimeNow) {
    for (const cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
         header = CMSG_NXTHDR(const_cast<msghdr*>(&message), const_cast<cmsghdr*>(header))) {
        if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_TIMESTAMPNS) continue;
        if (header->cmsg_len < CMSG_LEN(sizeof(timespec))) continue;
        timespec stamp{};
        std::memcpy(&stamp, CMSG_DATA(header), sizeof stamp);
        if (stamp.tv_sec < 0) continue;
        const std::chrono::sys_time<std::chrono::nanoseconds> stamped{std::chrono::seconds(stamp.tv_sec) +
                                                                      std::chrono::nanoseconds(stamp.tv_nsec)};
        const std::chrono::nanoseconds waited = realtimeNow > stamped ? realtimeNow - stamped : std::chrono::nanoseconds{};
        return monotonicNow.time_since_epoch() > waited ? monotonicNow - waited : Ticks{};
    }
    return std::nullopt;
}

std::function<std::uint64_t()> systemRandom() {
    auto device = std::make_shared<std::random_device>();
    return [device] {
        return static_cast<std::uint64_t>((*device)()) << 32 | static_cast<std::uint64_t>((*device)());
    };
}

}  // namespace

int ICMPProber::ProbeSocket::fd() const { return source ? source->descriptor() : descriptor.get(); }

ICMPProber::ICMPProber(SerialQueue& queue, bool readsOnArrival, Seconds timeout, ResultHandler onResult)
    : ICMPProber(queue, readsOnArrival, timeout, std::move(onResult), Environment{}) {}

ICMPProber::ICMPProber(SerialQueue& queue, bool readsOnArrival, Seconds timeout, ResultHandler onResult,
                       Environment environment)
    : queue_(queue),
      readsOnArrival_(readsOnArrival),
      onResult_(std::move(onResult)),
      environment_(std::move(environment)) {
    if (!environment_.random) environment_.random = systemRandom();
    identifier_ = static_cast<std::uint16_t>(environment_.random());
    nextSequence_ = static_cast<std::uint16_t>(environment_.random());
    pending_.timeout = MachClock::ticks(timeout);
    pending_.lateWindow = MachClock::ticks(lateWindow);
}

ICMPProber::~ICMPProber() {
    // Read sources are driven by the queue's thread; tearing one down from
    // another thread would race with it.
    if (readsOnArrival_ && !sockets_.empty()) queue_.precondition();
    sockets_.clear();
}

ICMPProber::OpenedSocket ICMPProber::openSystemSocket(IPFamily family) {
    const int domain = domainOf(family);
    const int protocol = protocolOf(family);
    UniqueFd fd(::socket(domain, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol));
    if (fd) return {std::move(fd), SocketKind::ping};

    // EACCES: our group is outside net.ipv4.ping_group_range; EPERM is what
    // some kernels and seccomp policies say instead. Anything else (no
    // ICMPv6 support, out of descriptors) a raw socket would not cure.
    const int pingError = errno;
    if (pingError != EACCES && pingError != EPERM) throw ProbeError::socket(pingError);
    fd.reset(::socket(domain, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol));
    // Without privilege for either, the ping socket's refusal is the telling one.
    if (!fd) throw ProbeError::socket(pingError);
    filterEchoReplies(fd.get(), family);
    return {std::move(fd), SocketKind::raw};
}

std::optional<ICMPProber::SocketKind> ICMPProber::socketKind(IPFamily family) const {
    auto it = sockets_.find(family);
    if (it == sockets_.end()) return std::nullopt;
    return it->second.kind;
}

ICMPProber::ProbeSocket& ICMPProber::socketFor(IPFamily family) {
    if (auto it = sockets_.find(family); it != sockets_.end()) return it->second;

    OpenedSocket opened = environment_.openSocket(family);
    UniqueFd fd = std::move(opened.descriptor);
    // Without stamps the read time stands in for the arrival time; that is
    // worse but not wrong, so a socket that refuses them is still used.
    const int on = 1;
    const bool stamped = setsockopt(fd.get(), SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) == 0;
    // When no socket on the system wanted receive stamps, the kernel turns
    // stamping on in deferred work (net_enable_timestamp); a datagram that
    // arrives before then is stamped when it is read, which would add the
    // read delay to the first reply's time. A loopback reply comes back
    // within microseconds, a real one soon after, so wait a moment before
    // the first probe. Our open sockets keep stamping on from then on.
    if (stamped && sockets_.empty()) std::this_thread::sleep_for(timestampSettling);
    const int flags = fcntl(fd.get(), F_GETFL);
    if (flags < 0 || fcntl(fd.get(), F_SETFL, flags | O_NONBLOCK) < 0) throw ProbeError::socket(errno);

    ProbeSocket socket;
    socket.family = family;
    socket.kind = opened.kind;
    if (readsOnArrival_) {
        // The source belongs to this prober and is cancelled before the
        // prober goes away, so the handler never sees a dead prober.
        socket.source = std::make_unique<DescriptorSource>(queue_, std::move(fd), DescriptorSource::Readiness::read,
                                                           [this, family] { readSocket(family); });
    } else {
        socket.descriptor = std::move(fd);
    }
    return sockets_.emplace(family, std::move(socket)).first->second;
}

std::uint16_t ICMPProber::send(const ProbeAddress& address) {
    queue_.precondition();
    const int fd = socketFor(address.family).fd();

    const std::uint16_t sequence = nextSequence_++;  // used up even if sending fails
    const std::uint64_t token = environment_.random();
    const auto request = ICMPPacket::request(ICMPPacket::Echo{identifier_, sequence, token}, address.family);
    socklen_t length = 0;
    const sockaddr_storage destination = address.socketAddress(0, length);

    const Ticks sentAt = MachClock::now();
    const ssize_t sent = ::sendto(fd, request.data(), request.size(), 0,
                                  reinterpret_cast<const sockaddr*>(&destination), length);
    if (sent != static_cast<ssize_t>(request.size())) throw ProbeError::send(sent < 0 ? errno : EMSGSIZE);

    pending_.record(PendingProbes::Probe{address, sequence, token, sentAt});
    return sequence;
}

void ICMPProber::poll() {
    queue_.precondition();
    readAll();
    for (const ProbeResult& result : pending_.expire(MachClock::now())) onResult_(result);
}

void ICMPProber::drain() {
    queue_.precondition();
    readAll();
}

void ICMPProber::reset() {
    queue_.precondition();
    readAll();
    pending_.clear();
}

void ICMPProber::close() {
    queue_.precondition();
    sockets_.clear();
    pending_.clear();
}

void ICMPProber::readAll() {
    for (IPFamily family : {IPFamily::v4, IPFamily::v6}) readSocket(family);
}

void ICMPProber::readSocket(IPFamily family) {
    std::array<std::uint8_t, receiveBufferSize> data;
    alignas(cmsghdr) std::array<char, 128> control;
    // A flood (a raw socket sees every echo reply the host receives) must not
    // hold the probe queue: take a bounded batch and leave the rest to the
    // next pass. Arrival stamps keep the round-trip times of what waits true.
    for (std::size_t taken = 0; taken < maxDatagramsPerPass; ++taken) {
        // Looked up afresh each time: a result handler may close the prober.
        auto it = sockets_.find(family);
        if (it == sockets_.end()) return;
        const int fd = it->second.fd();

        sockaddr_storage source{};
        iovec vector{data.data(), data.size()};
        msghdr message{};
        message.msg_name = &source;
        message.msg_namelen = sizeof source;
        message.msg_iov = &vector;
        message.msg_iovlen = 1;
        message.msg_control = control.data();
        message.msg_controllen = control.size();
        const ssize_t count = ::recvmsg(fd, &message, MSG_DONTWAIT);
        if (count <= 0) return;  // drained, or failed: try again on the next pass
        const Ticks now = MachClock::now();
        const auto arrival = arrivalTime(message, now, MachClock::realtimeNow());

        const auto sender =
            ProbeAddress::fromSocketAddress(reinterpret_cast<const sockaddr*>(&source), message.msg_namelen);
        // Only this datagram is odd; the rest of the pass may hold true replies.
        if (!sender || sender->family != family) continue;
        const auto echo =
            ICMPPacket::parseReply(std::span<const std::uint8_t>(data.data(), static_cast<std::size_t>(count)), family);
        if (!echo) continue;

        const Ticks receivedAt = arrival ? std::min(*arrival, now) : now;
        for (const ProbeResult& result : pending_.match(*echo, *sender, receivedAt)) onResult_(result);
    }
}

}  // namespace nerivane
