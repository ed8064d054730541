#include "lab/responder/Responder.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <netinet/icmp6.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "NerivaneKit/probing/ICMPPacket.h"
#include "lab/responder/EchoReply.h"

namespace nerivane::lab {
namespace {

constexpr std::uint8_t protocolICMP = 1;
constexpr std::uint8_t protocolICMPv6 = 58;

std::runtime_error systemError(const std::string& what) {
    return std::runtime_error(what + ": " + std::strerror(errno));
}

UniqueFd openSocket(int family, int type, int protocol, const char* what) {
    UniqueFd fd(::socket(family, type | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol));
    if (!fd) throw systemError(std::string("cannot open ") + what);
    return fd;
}

void enable(int fd, int level, int option, const char* what) {
    const int on = 1;
    if (::setsockopt(fd, level, option, &on, sizeof on) != 0) throw systemError(std::string("cannot set ") + what);
}

// Replies must not come from addresses nobody can answer to.
bool isUnicast(const ProbeAddress& address) {
    if (address.family == IPFamily::v6) return address.bytes[0] != 0xff;
    return address.bytes[0] < 224;
}

void writeFileAtomically(const std::string& path, const std::string& text) {
    const std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << text;
        if (!out) return;
    }
    std::rename(temporary.c_str(), path.c_str());
}

// The arrival time that SO_TIMESTAMPNS gives (real-time clock) on the steady
// clock; now when there is none or it looks wrong.
std::chrono::steady_clock::time_point arrivalTime(msghdr& message) {
    const auto now = std::chrono::steady_clock::now();
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header; header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_TIMESTAMPNS ||
            header->cmsg_len < CMSG_LEN(sizeof(timespec)))
            continue;
        timespec stamp;
        std::memcpy(&stamp, CMSG_DATA(header), sizeof stamp);
        timespec realNow{};
        ::clock_gettime(CLOCK_REALTIME, &realNow);
        const auto age = std::chrono::seconds(realNow.tv_sec - stamp.tv_sec) +
                         std::chrono::nanoseconds(realNow.tv_nsec - stamp.tv_nsec);
        if (age >= std::chrono::nanoseconds::zero() && age < std::chrono::seconds(1))
            return now - std::chrono::duration_cast<std::chrono::steady_clock::duration>(age);
    }
    return now;
}

// Puts one packet-info control message into `control` and hangs it on the
// message; `control` must hold CMSG_SPACE(sizeof info) bytes.
template <class Info>
void attachPacketInfo(msghdr& message, char* control, int level, int type, const Info& info) {
    message.msg_control = control;
    message.msg_controllen = CMSG_SPACE(sizeof(Info));
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = level;
    header->cmsg_type = type;
    header->cmsg_len = CMSG_LEN(sizeof(Info));
    std::memcpy(CMSG_DATA(header), &info, sizeof info);
}

}  // namespace

Responder::Responder(ResponderOptions options) : options_(std::move(options)), random_(std::random_device{}()) {}

Responder::~Responder() {
    if (log_) std::fclose(log_);
}

std::string Responder::path(const std::string& name) const {
    return options_.runDirectory + "/" + name;
}

void Responder::open() {
    log_ = std::fopen(path(options_.role + ".log").c_str(), "ae");
    if (!log_) throw systemError("cannot open the log in " + options_.runDirectory);
    std::setvbuf(log_, nullptr, _IOLBF, 0);

    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGHUP);
    sigaddset(&mask, SIGTERM);
    sigaddset(&mask, SIGINT);
    if (::sigprocmask(SIG_BLOCK, &mask, nullptr) != 0) throw systemError("cannot block signals");
    signals_ = UniqueFd(::signalfd(-1, &mask, SFD_NONBLOCK | SFD_CLOEXEC));
    if (!signals_) throw systemError("cannot open a signal descriptor");
    // Replies are timed to the millisecond; the default 50 us timer slack is
    // small already, but nothing is gained by any.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);

    if (options_.tunName) {
        tun_ = UniqueFd(::open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC));
        if (!tun_) throw systemError("cannot open /dev/net/tun");
        ifreq request{};
        request.ifr_flags = IFF_TUN | IFF_NO_PI;
        std::strncpy(request.ifr_name, options_.tunName->c_str(), IFNAMSIZ - 1);
        if (::ioctl(tun_.get(), TUNSETIFF, &request) != 0) throw systemError("cannot create " + *options_.tunName);
    } else {
        // Raw sockets see every echo request addressed to this namespace, with
        // the IPv4 header (which names the probed address) in front.
        icmp4_ = openSocket(AF_INET, SOCK_RAW, IPPROTO_ICMP, "a raw ICMP socket");
        icmp6_ = openSocket(AF_INET6, SOCK_RAW, IPPROTO_ICMPV6, "a raw ICMPv6 socket");
        enable(icmp6_.get(), IPPROTO_IPV6, IPV6_RECVPKTINFO, "IPV6_RECVPKTINFO");
        enable(icmp4_.get(), SOL_SOCKET, SO_TIMESTAMPNS, "SO_TIMESTAMPNS");
        enable(icmp6_.get(), SOL_SOCKET, SO_TIMESTAMPNS, "SO_TIMESTAMPNS");
        icmp6_filter filter;
        ICMP6_FILTER_SETBLOCKALL(&filter);
        ICMP6_FILTER_SETPASS(ICMP6_ECHO_REQUEST, &filter);
        if (::setsockopt(icmp6_.get(), IPPROTO_ICMPV6, ICMP6_FILTER, &filter, sizeof filter) != 0)
            throw systemError("cannot set ICMP6_FILTER");
        // IPPROTO_RAW implies that we write the IPv6 header ourselves.
        rawIPv6_ = openSocket(AF_INET6, SOCK_RAW, IPPROTO_RAW, "a raw IPv6 socket");
    }

    for (const auto& address : options_.tcpAddresses) {
        const int family = address.family == IPFamily::v4 ? AF_INET : AF_INET6;
        auto listener = openSocket(family, SOCK_STREAM, 0, "a TCP socket");
        enable(listener.get(), SOL_SOCKET, SO_REUSEADDR, "SO_REUSEADDR");
        if (family == AF_INET6) enable(listener.get(), IPPROTO_IPV6, IPV6_V6ONLY, "IPV6_V6ONLY");
        socklen_t length = 0;
        const auto socketAddress = address.socketAddress(options_.tcpPort, length);
        if (::bind(listener.get(), reinterpret_cast<const sockaddr*>(&socketAddress), length) != 0 ||
            ::listen(listener.get(), 64) != 0)
            throw systemError("cannot listen on " + address.text() + " port " + std::to_string(options_.tcpPort));
        listeners_.push_back(std::move(listener));
    }

    writeFileAtomically(path(options_.role + ".pid"), std::to_string(::getpid()) + "\n");
    log("started (pid %d)%s%s", static_cast<int>(::getpid()), options_.tunName ? " on " : "",
        options_.tunName ? options_.tunName->c_str() : "");
    loadProfiles();
}

void Responder::loadProfiles() {
    std::ifstream in(path("profiles"));
    std::stringstream text;
    if (in) text << in.rdbuf();
    table_ = ProfileTable::parse(text.str());
    for (const auto& error : table_.errors) log("profiles: %s", error.c_str());
    log("profiles: generation %llu, %zu addresses", static_cast<unsigned long long>(table_.generation),
        table_.profiles.size());
    writeFileAtomically(path(options_.role + ".loaded"), std::to_string(table_.generation) + "\n");
}

void Responder::run() {
    bool running = true;
    while (running) {
        std::vector<pollfd> fds;
        fds.push_back({signals_.get(), POLLIN, 0});
        if (icmp4_) fds.push_back({icmp4_.get(), POLLIN, 0});
        if (icmp6_) fds.push_back({icmp6_.get(), POLLIN, 0});
        if (tun_) fds.push_back({tun_.get(), POLLIN, 0});
        for (const auto& listener : listeners_) fds.push_back({listener.get(), POLLIN, 0});

        timespec timeout{};
        timespec* timeoutPointer = nullptr;
        if (!pending_.empty()) {
            const auto wait = std::max(pending_.begin()->first - Clock::now(), Clock::duration::zero());
            const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
            timeout.tv_sec = static_cast<time_t>(nanoseconds / 1'000'000'000);
            timeout.tv_nsec = static_cast<long>(nanoseconds % 1'000'000'000);
            timeoutPointer = &timeout;
        }
        if (::ppoll(fds.data(), fds.size(), timeoutPointer, nullptr) < 0 && errno != EINTR) {
            log("poll failed: %s", std::strerror(errno));
            break;
        }
        for (const auto& entry : fds) {
            if (!(entry.revents & (POLLIN | POLLERR | POLLHUP))) continue;
            if (entry.fd == signals_.get()) {
                readSignals(running);
            } else if (entry.fd == icmp4_.get()) {
                readICMPv4();
            } else if (entry.fd == icmp6_.get()) {
                readICMPv6();
            } else if (entry.fd == tun_.get()) {
                readTun();
            } else {
                acceptTCP(entry.fd);
            }
        }
        sendDue();
    }
    log("stopped");
}

void Responder::readSignals(bool& running) {
    signalfd_siginfo info;
    while (::read(signals_.get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        if (info.ssi_signo == SIGHUP) {
            loadProfiles();
        } else {
            running = false;
        }
    }
}

void Responder::readICMPv4() {
    std::vector<std::uint8_t> buffer(65536);
    for (;;) {
        alignas(cmsghdr) char control[128];
        iovec vector{buffer.data(), buffer.size()};
        msghdr message{};
        message.msg_iov = &vector;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t count = ::recvmsg(icmp4_.get(), &message, 0);
        if (count < 0) return;
        const auto arrivedAt = arrivalTime(message);
        const auto packet = EchoReply::parseIP(std::span(buffer.data(), static_cast<std::size_t>(count)));
        if (!packet || packet->protocol != protocolICMP) {
            log("ignored a malformed IPv4 packet of %zd bytes", count);
            continue;
        }
        handleRequest(IPFamily::v4, packet->source, packet->destination, 0, packet->payload, false, arrivedAt);
    }
}

void Responder::readICMPv6() {
    std::vector<std::uint8_t> buffer(65536);
    for (;;) {
        sockaddr_in6 source{};
        alignas(cmsghdr) char control[512];
        iovec vector{buffer.data(), buffer.size()};
        msghdr message{};
        message.msg_name = &source;
        message.msg_namelen = sizeof source;
        message.msg_iov = &vector;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t count = ::recvmsg(icmp6_.get(), &message, 0);
        if (count < 0) return;
        std::optional<ProbeAddress> probed;
        std::uint32_t interfaceIndex = 0;
        for (cmsghdr* header = CMSG_FIRSTHDR(&message); header; header = CMSG_NXTHDR(&message, header)) {
            if (header->cmsg_level == IPPROTO_IPV6 && header->cmsg_type == IPV6_PKTINFO &&
                header->cmsg_len >= CMSG_LEN(sizeof(in6_pktinfo))) {
                in6_pktinfo info;
                std::memcpy(&info, CMSG_DATA(header), sizeof info);
                std::array<std::uint8_t, 16> bytes{};
                std::memcpy(bytes.data(), &info.ipi6_addr, 16);
                probed = ProbeAddress::v6(bytes);
                interfaceIndex = static_cast<std::uint32_t>(info.ipi6_ifindex);
            }
        }
        const auto requester =
            ProbeAddress::fromSocketAddress(reinterpret_cast<const sockaddr*>(&source), message.msg_namelen);
        if (!probed || !requester) {
            log("ignored an ICMPv6 message of %zd bytes without addresses", count);
            continue;
        }
        handleRequest(IPFamily::v6, *requester, *probed, interfaceIndex,
                      std::span(buffer.data(), static_cast<std::size_t>(count)), false, arrivalTime(message));
    }
}

void Responder::readTun() {
    std::vector<std::uint8_t> buffer(65536);
    for (;;) {
        const ssize_t count = ::read(tun_.get(), buffer.data(), buffer.size());
        if (count < 0) return;
        const auto packet = EchoReply::parseIP(std::span(buffer.data(), static_cast<std::size_t>(count)));
        // Everything but pings goes nowhere, as through a tunnel whose far end
        // drops what it cannot carry.
        if (!packet) continue;
        if (packet->source.family == IPFamily::v4 && packet->protocol == protocolICMP) {
            handleRequest(IPFamily::v4, packet->source, packet->destination, 0, packet->payload, true, Clock::now());
        } else if (packet->source.family == IPFamily::v6 && packet->protocol == protocolICMPv6) {
            // The kernel did not check this checksum for us: tun bytes come
            // straight from the sender.
            if (EchoReply::ipv6Checksum(packet->source, packet->destination, packet->payload) !=
                (packet->payload.size() >= 4 ? (packet->payload[2] << 8 | packet->payload[3]) : -1))
                continue;
            handleRequest(IPFamily::v6, packet->source, packet->destination, 0, packet->payload, true, Clock::now());
        }
    }
}

void Responder::acceptTCP(int listener) {
    for (;;) {
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        UniqueFd connection(::accept4(listener, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC));
        if (!connection) return;
        sockaddr_storage local{};
        socklen_t localLength = sizeof local;
        ::getsockname(connection.get(), reinterpret_cast<sockaddr*>(&local), &localLength);
        const auto from = ProbeAddress::fromSocketAddress(reinterpret_cast<const sockaddr*>(&peer), length);
        const auto to = ProbeAddress::fromSocketAddress(reinterpret_cast<const sockaddr*>(&local), localLength);
        log("tcp %s -> %s port %u: accepted and closed", from ? from->text().c_str() : "?",
            to ? to->text().c_str() : "?", static_cast<unsigned>(options_.tcpPort));
    }
}

void Responder::handleRequest(IPFamily family, const ProbeAddress& requester, const ProbeAddress& probed,
                              std::uint32_t interfaceIndex, std::span<const std::uint8_t> icmp, bool viaTun,
                              Clock::time_point arrivedAt) {
    const std::uint8_t requestType = family == IPFamily::v4 ? ICMPPacket::echoRequestV4 : ICMPPacket::echoRequestV6;
    if (icmp.empty() || icmp[0] != requestType) return;  // other ICMP traffic is none of our business
    const auto echo = ICMPPacket::parseRequest(icmp, family);
    if (!echo) {
        log("ignored a malformed echo request of %zu bytes from %s to %s", icmp.size(), requester.text().c_str(),
            probed.text().c_str());
        return;
    }
    if (!isUnicast(probed)) {
        log("ignored an echo request from %s to the group address %s", requester.text().c_str(),
            probed.text().c_str());
        return;
    }
    const Profile profile = table_.lookup(probed);
    const std::string who = requester.text() + " -> " + probed.text() + " seq " + std::to_string(echo->sequence);
    if (profile.mode == AnswerMode::silent) {
        log("%s: silent", who.c_str());
        return;
    }
    if (profile.limitPerSecond > 0) {
        auto& [windowStart, count] = answered_[probed];
        if (arrivedAt - windowStart >= std::chrono::seconds(1)) {
            windowStart = arrivedAt;
            count = 0;
        }
        if (count >= profile.limitPerSecond) {
            log("%s: over the limit of %g a second", who.c_str(), profile.limitPerSecond);
            return;
        }
        count += 1;
    }
    if (uniform_(random_) * 100 < profile.lossPercent) {
        log("%s: lost (loss %g%%)", who.c_str(), profile.lossPercent);
        return;
    }
    auto message = EchoReply::message(icmp, family, profile.mode);
    if (!message) {
        log("%s: ignored, bad checksum", who.c_str());
        return;
    }
    if (pending_.size() >= maximumPending) {
        log("%s: dropped, %zu replies already waiting", who.c_str(), pending_.size());
        return;
    }

    Outgoing reply;
    reply.from = probed;
    reply.to = requester;
    reply.interfaceIndex = interfaceIndex;
    const bool hasChecksum = message->size() >= 4;
    if (family == IPFamily::v6 && (viaTun || profile.mode == AnswerMode::corrupt) && hasChecksum) {
        // We frame this packet ourselves, so we owe it its checksum.
        const auto sum = EchoReply::ipv6Checksum(probed, requester, *message);
        const auto field = profile.mode == AnswerMode::corrupt ? EchoReply::corrupted(sum) : sum;
        (*message)[2] = static_cast<std::uint8_t>(field >> 8);
        (*message)[3] = static_cast<std::uint8_t>(field);
    }
    if (viaTun) {
        reply.channel = Channel::tun;
        reply.bytes = family == IPFamily::v4 ? EchoReply::ipv4Packet(probed, requester, *message)
                                             : EchoReply::ipv6Packet(probed, requester, *message);
    } else if (family == IPFamily::v6 && profile.mode == AnswerMode::corrupt) {
        reply.channel = Channel::rawIPv6;
        reply.bytes = EchoReply::ipv6Packet(probed, requester, *message);
    } else {
        reply.channel = family == IPFamily::v4 ? Channel::icmp4 : Channel::icmp6;
        reply.bytes = std::move(*message);
    }

    const double delayMs = profile.replyDelayMs(uniform_(random_));
    const auto due = arrivedAt + std::chrono::microseconds(static_cast<std::int64_t>(delayMs * 1000));
    const int copies = profile.mode == AnswerMode::duplicate ? 2 : 1;
    for (int i = 0; i < copies; ++i) pending_.emplace(due, reply);
    log("%s: %s in %.1f ms%s", who.c_str(), std::string(modeText(profile.mode)).c_str(), delayMs,
        copies > 1 ? " (twice)" : "");
}

void Responder::sendDue() {
    const auto now = Clock::now();
    while (!pending_.empty() && pending_.begin()->first <= now) {
        send(pending_.begin()->second);
        pending_.erase(pending_.begin());
    }
}

void Responder::send(const Outgoing& reply) {
    ssize_t sent = -1;
    if (reply.channel == Channel::tun) {
        sent = ::write(tun_.get(), reply.bytes.data(), reply.bytes.size());
    } else {
        socklen_t length = 0;
        auto destination = reply.to.socketAddress(0, length);
        iovec vector{const_cast<std::uint8_t*>(reply.bytes.data()), reply.bytes.size()};
        msghdr message{};
        message.msg_name = &destination;
        message.msg_namelen = length;
        message.msg_iov = &vector;
        message.msg_iovlen = 1;
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in6_pktinfo))]{};
        int fd = rawIPv6_.get();
        if (reply.channel == Channel::icmp4) {
            // IP_PKTINFO's spec_dst sets the source: the reply comes from the
            // address that was probed (raw(7), ip(7)).
            fd = icmp4_.get();
            in_pktinfo info{};
            std::memcpy(&info.ipi_spec_dst, reply.from.bytes.data(), 4);
            attachPacketInfo(message, control, IPPROTO_IP, IP_PKTINFO, info);
        } else if (reply.channel == Channel::icmp6) {
            fd = icmp6_.get();
            in6_pktinfo info{};
            std::memcpy(&info.ipi6_addr, reply.from.bytes.data(), 16);
            info.ipi6_ifindex = reply.interfaceIndex;
            attachPacketInfo(message, control, IPPROTO_IPV6, IPV6_PKTINFO, info);
        }
        sent = ::sendmsg(fd, &message, 0);
    }
    if (sent < 0) log("reply %s -> %s failed: %s", reply.from.text().c_str(), reply.to.text().c_str(), std::strerror(errno));
}

void Responder::log(const char* format, ...) {
    if (!log_) return;
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    ::localtime_r(&now.tv_sec, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%H:%M:%S", &local);
    std::fprintf(log_, "%s.%03ld %s: ", stamp, now.tv_nsec / 1'000'000, options_.role.c_str());
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(log_, format, arguments);
    va_end(arguments);
    std::fputc('\n', log_);
}

}  // namespace nerivane::lab
