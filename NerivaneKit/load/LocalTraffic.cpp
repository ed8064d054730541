#include "NerivaneKit/load/LocalTraffic.h"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace nerivane {
namespace {

// Per packet: Ethernet, IP and TCP with timestamps. The kernel's connection
// counts are of payload and segments; the interface counts whole frames.
constexpr std::uint64_t headerBytes(int family) {
    return family == AF_INET6 ? 14 + 40 + 32 : 14 + 20 + 32;
}

// The kernel's TCP states (include/net/tcp_states.h, not among the exported
// headers) with a full socket and its counters: not listening, not the mini
// sockets of SYN_RECV (3) and TIME_WAIT (6).
enum TCPState : unsigned { established = 1, synSent = 2, finWait1 = 4, finWait2 = 5, closed = 7, closeWait = 8, lastAck = 9, closing = 11 };
constexpr std::uint32_t counted = (1U << established) | (1U << synSent) | (1U << finWait1) | (1U << finWait2) |
                                  (1U << closed) | (1U << closeWait) | (1U << lastAck) | (1U << closing);

}  // namespace

LocalTraffic::LocalTraffic() {
    diagnostics_ = UniqueFd(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
    // The kernel answers a dump at once; a bound keeps the probe queue moving if it ever does not.
    const timeval limit{1, 0};
    if (diagnostics_) ::setsockopt(diagnostics_.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    // The kernel tells of every TCP connection that ends, with its final
    // counts: the bytes a copy sent after the last dump, or all of one that
    // came and went between two, are not taken for the internet's.
    ended_ = UniqueFd(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_SOCK_DIAG));
    const int room = 1 << 20;
    if (ended_) ::setsockopt(ended_.get(), SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
    // Multicast reaches bound netlink sockets only.
    sockaddr_nl self{};
    self.nl_family = AF_NETLINK;
    if (ended_ && ::bind(ended_.get(), reinterpret_cast<const sockaddr*>(&self), sizeof self) != 0) ended_.reset();
    for (const int group : {SKNLGRP_INET_TCP_DESTROY, SKNLGRP_INET6_TCP_DESTROY}) {
        if (ended_ && ::setsockopt(ended_.get(), SOL_NETLINK, NETLINK_ADD_MEMBERSHIP, &group, sizeof group) != 0)
            ended_.reset();
    }
}

bool LocalTraffic::onLink(int family, const std::uint8_t* address, const std::vector<Prefix>& networks) {
    static constexpr std::uint8_t mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (family == AF_INET6) {
        if (address[0] == 0xfe && (address[1] & 0xc0) == 0x80) return true;
        if (std::memcmp(address, mapped, sizeof mapped) == 0) return onLink(AF_INET, address + 12, networks);
    }
    for (const Prefix& network : networks) {
        if (network.family != family) continue;
        const int bits = std::min(network.length, family == AF_INET ? 32 : 128);
        const int whole = bits / 8, rest = bits % 8;
        if (std::memcmp(address, network.bytes.data(), static_cast<std::size_t>(whole)) != 0) continue;
        const auto mask = static_cast<std::uint8_t>(0xff << (8 - rest));
        if (rest == 0 || (address[whole] & mask) == (network.bytes[static_cast<std::size_t>(whole)] & mask)) return true;
    }
    return false;
}

template <typename Each>
LocalTraffic::Part LocalTraffic::eachFlow(const char* buffer, std::size_t size, const std::vector<Prefix>& networks, Each each) {
    auto length = static_cast<unsigned>(size);
    for (auto* header = reinterpret_cast<const nlmsghdr*>(buffer); NLMSG_OK(header, length); header = NLMSG_NEXT(header, length)) {
        if (header->nlmsg_type == NLMSG_DONE) return Part::last;
        if (header->nlmsg_type == NLMSG_ERROR) return Part::failed;
        if (header->nlmsg_type != SOCK_DIAG_BY_FAMILY) continue;
        const auto* entry = static_cast<const inet_diag_msg*>(NLMSG_DATA(header));
        if (!onLink(entry->idiag_family, reinterpret_cast<const std::uint8_t*>(entry->id.idiag_dst), networks)) continue;
        int left = static_cast<int>(header->nlmsg_len - NLMSG_LENGTH(sizeof *entry));
        for (auto* attribute = reinterpret_cast<const rtattr*>(entry + 1); RTA_OK(attribute, left);
             attribute = RTA_NEXT(attribute, left)) {
            if (attribute->rta_type != INET_DIAG_INFO) continue;
            // Older kernels send a shorter structure: the fields they lack stay zero.
            tcp_info info{};
            std::memcpy(&info, RTA_DATA(attribute), std::min<std::size_t>(RTA_PAYLOAD(attribute), sizeof info));
            const std::uint64_t cookie = static_cast<std::uint64_t>(entry->id.idiag_cookie[1]) << 32 | entry->id.idiag_cookie[0];
            const std::uint64_t perPacket = headerBytes(entry->idiag_family);
            each(cookie, Flow{info.tcpi_bytes_acked + info.tcpi_segs_out * perPacket,
                              info.tcpi_bytes_received + info.tcpi_segs_in * perPacket});
        }
    }
    return Part::more;
}

LocalTraffic::Flow LocalTraffic::count(const std::vector<Prefix>& networks) {
    if (!diagnostics_) return total_;
    std::unordered_map<std::uint64_t, Flow> now;
    alignas(nlmsghdr) char buffer[32768];
    for (const int family : {AF_INET, AF_INET6}) {
        struct {
            nlmsghdr header;
            inet_diag_req_v2 request;
        } message{};
        message.header.nlmsg_len = sizeof message;
        message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
        message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
        message.request.sdiag_family = static_cast<std::uint8_t>(family);
        message.request.sdiag_protocol = IPPROTO_TCP;
        message.request.idiag_states = counted;
        message.request.idiag_ext = 1U << (INET_DIAG_INFO - 1);
        if (::send(diagnostics_.get(), &message, sizeof message, 0) != static_cast<ssize_t>(sizeof message)) return total_;
        // A dump that fails leaves everything as it was: an empty one would
        // make every open connection look new at the next count.
        for (Part part = Part::more; part != Part::last;) {
            const ssize_t received = ::recv(diagnostics_.get(), buffer, sizeof buffer, 0);
            if (received <= 0) return total_;
            part = eachFlow(buffer, static_cast<std::size_t>(received), networks,
                            [&](std::uint64_t cookie, const Flow& flow) { now[cookie] = flow; });
            if (part == Part::failed) return total_;
        }
    }
    // A connection new since the last count carried all it has since then;
    // the first count only learns where the open ones stand.
    for (const auto& [cookie, flow] : now) {
        const auto before = flows_.find(cookie);
        if (before != flows_.end()) {
            add(flow, before->second);
        } else if (counted_) {
            add(flow, Flow{});
        }
    }
    // Connections that ended, with their final counts: since this dump, the
    // last, or (new and gone in between) their start.
    for (ssize_t received; ended_ && (received = ::recv(ended_.get(), buffer, sizeof buffer, MSG_DONTWAIT)) != 0;) {
        if (received < 0) {
            // Overflowed while nobody read: some endings are lost, the rest still queued.
            if (errno == ENOBUFS) continue;
            break;
        }
        eachFlow(buffer, static_cast<std::size_t>(received), networks, [&](std::uint64_t cookie, const Flow& flow) {
            if (const auto open = now.find(cookie); open != now.end()) {
                add(flow, open->second);
                now.erase(open);
            } else if (const auto before = flows_.find(cookie); before != flows_.end()) {
                add(flow, before->second);
            } else if (counted_) {
                add(flow, Flow{});
            }
        });
    }
    counted_ = true;
    flows_ = std::move(now);
    return total_;
}

void LocalTraffic::add(const Flow& to, const Flow& from) {
    total_.sent += to.sent >= from.sent ? to.sent - from.sent : 0;
    total_.received += to.received >= from.received ? to.received - from.received : 0;
}

}  // namespace nerivane
