#include "NerivaneKit/path/NetlinkPathSource.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netlink/addr.h>
#include <netlink/cache.h>
#include <netlink/errno.h>
#include <netlink/netlink.h>
#include <netlink/route/addr.h>
#include <netlink/route/link.h>
#include <netlink/route/nexthop.h>
#include <netlink/route/route.h>
#include <netlink/socket.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <utility>
#include <vector>

#include "NerivaneKit/path/MeteredWatch.h"
#include "NerivaneKit/platform/DescriptorSource.h"
#include "NerivaneKit/platform/SerialQueue.h"

namespace nerivane {

namespace {

struct SocketFreer {
    void operator()(nl_sock* socket) const { nl_socket_free(socket); }
};
struct CacheFreer {
    void operator()(nl_cache* cache) const { nl_cache_free(cache); }
};
using SocketHandle = std::unique_ptr<nl_sock, SocketFreer>;
using CacheHandle = std::unique_ptr<nl_cache, CacheFreer>;

// How long the first facts wait for the metered state before going without it.
constexpr std::chrono::seconds meteredWait{1};
// A failed dump is tried again after this long.
constexpr std::chrono::milliseconds retryDelay{500};

SocketHandle connectedSocket() {
    SocketHandle socket(nl_socket_alloc());
    if (!socket) return nullptr;
    if (nl_connect(socket.get(), NETLINK_ROUTE) < 0) return nullptr;
    return socket;
}

// A dump that raced with a change comes back marked interrupted; ask again.
template <class Alloc>
CacheHandle dump(Alloc alloc) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        nl_cache* raw = nullptr;
        const int result = alloc(&raw);
        if (result >= 0) return CacheHandle(raw);
        if (raw != nullptr) nl_cache_free(raw);
        if (result != -NLE_DUMP_INTR) break;
    }
    return nullptr;
}

template <class Object, class F>
void forEach(nl_cache* cache, F&& f) {
    for (nl_object* object = nl_cache_get_first(cache); object != nullptr; object = nl_cache_get_next(object))
        f(reinterpret_cast<Object*>(object));
}

std::optional<std::string> addressText(nl_addr* address) {
    if (address == nullptr) return std::nullopt;
    const int family = nl_addr_get_family(address);
    const unsigned length = nl_addr_get_len(address);
    if (!((family == AF_INET && length == 4) || (family == AF_INET6 && length == 16))) return std::nullopt;
    std::array<char, INET6_ADDRSTRLEN> text{};
    if (inet_ntop(family, nl_addr_get_binary_addr(address), text.data(), text.size()) == nullptr) return std::nullopt;
    return std::string(text.data());
}

std::optional<IPFamily> familyOf(int family) {
    if (family == AF_INET) return IPFamily::v4;
    if (family == AF_INET6) return IPFamily::v6;
    return std::nullopt;
}

struct MessageFreer {
    void operator()(nl_msg* message) const { nlmsg_free(message); }
};
struct CallbackFreer {
    void operator()(nl_cb* callbacks) const { nl_cb_put(callbacks); }
};
struct RouteFreer {
    void operator()(rtnl_route* route) const { rtnl_route_put(route); }
};

// The next hops of a route; a single-path route keeps its link-down mark in
// the route's own flags.
std::vector<NetlinkState::NextHop> nextHopsOf(rtnl_route* route) {
    std::vector<NetlinkState::NextHop> hops;
    const int count = rtnl_route_get_nnexthops(route);
    const std::uint32_t routeFlags = count == 1 ? (rtnl_route_get_flags(route) & (RTNH_F_LINKDOWN | RTNH_F_DEAD)) : 0;
    for (int i = 0; i < count; ++i) {
        rtnl_nexthop* hop = rtnl_route_nexthop_n(route, i);
        if (hop == nullptr) continue;
        NetlinkState::NextHop next;
        next.interfaceIndex = rtnl_route_nh_get_ifindex(hop);
        next.gateway = addressText(rtnl_route_nh_get_gateway(hop));
        next.flags = rtnl_route_nh_get_flags(hop) | routeFlags;
        hops.push_back(std::move(next));
    }
    return hops;
}

int takeRoute(nl_msg* message, void* argument) {
    rtnl_route* parsed = nullptr;
    if (rtnl_route_parse(nlmsg_hdr(message), &parsed) >= 0)
        static_cast<std::unique_ptr<rtnl_route, RouteFreer>*>(argument)->reset(parsed);
    return NL_OK;
}

// RTM_GETROUTE for one destination: the route the kernel would give a packet
// from this machine to it, after its rules, as ip route get does. None when
// the kernel has no route (an error reply) or answers with anything but a
// unicast route.
std::optional<NetlinkState::Lookup> lookUp(nl_sock* socket, IPFamily family, const std::string& destination) {
    const int af = family == IPFamily::v4 ? AF_INET : AF_INET6;
    std::array<unsigned char, 16> bytes{};
    if (inet_pton(af, destination.c_str(), bytes.data()) != 1) return std::nullopt;
    const int length = family == IPFamily::v4 ? 4 : 16;

    std::unique_ptr<nl_msg, MessageFreer> message(nlmsg_alloc_simple(RTM_GETROUTE, 0));
    if (!message) return std::nullopt;
    rtmsg header{};
    header.rtm_family = static_cast<unsigned char>(af);
    header.rtm_dst_len = static_cast<unsigned char>(length * 8);
    if (nlmsg_append(message.get(), &header, sizeof header, NLMSG_ALIGNTO) < 0) return std::nullopt;
    if (nla_put(message.get(), RTA_DST, length, bytes.data()) < 0) return std::nullopt;
    if (nl_send_auto(socket, message.get()) < 0) return std::nullopt;

    std::unique_ptr<nl_cb, CallbackFreer> callbacks(nl_cb_clone(nl_socket_get_cb(socket)));
    if (!callbacks) return std::nullopt;
    std::unique_ptr<rtnl_route, RouteFreer> route;
    nl_cb_set(callbacks.get(), NL_CB_VALID, NL_CB_CUSTOM, &takeRoute, &route);
    // The request asked for an acknowledgement (libnl's default), which
    // follows the answer: read it too, or the next dump would get it.
    if (nl_recvmsgs(socket, callbacks.get()) < 0) return std::nullopt;
    if (nl_wait_for_ack(socket) < 0 || !route) return std::nullopt;
    if (rtnl_route_get_type(route.get()) != RTN_UNICAST) return std::nullopt;
    auto hops = nextHopsOf(route.get());
    if (hops.empty()) return std::nullopt;
    return NetlinkState::Lookup{family, hops.front()};
}

}  // namespace

// What exists while started: the two sockets, the event source, the metered
// watch and the delivery state. Shared with posted work, which holds it weakly.
struct NetlinkPathSource::Running {
    SerialQueue* queue = nullptr;
    Handlers handlers;
    SocketHandle dumpSocket;
    SocketHandle eventSocket;
    std::unique_ptr<DescriptorSource> events;
    std::unique_ptr<MeteredWatch> metered;
    DelayedWork deferred;  // the wait for the metered state, or a retry
    bool isExpensive = false;
    // Facts are held back until the metered state is known or the wait is over.
    bool factsReady = false;
    bool refreshPosted = false;
    std::optional<PathFacts> lastFacts;
};

NetlinkPathSource::NetlinkPathSource() : NetlinkPathSource(Options{}) {}
NetlinkPathSource::NetlinkPathSource(Options options) : options_(std::move(options)) {}
NetlinkPathSource::~NetlinkPathSource() { stop(); }

bool NetlinkPathSource::start(SerialQueue& queue, Handlers handlers) {
    stop();
    auto running = std::make_shared<Running>();
    running->queue = &queue;
    running->handlers = std::move(handlers);
    running->dumpSocket = connectedSocket();
    if (!running->dumpSocket) return false;

    SocketHandle events(nl_socket_alloc());
    if (!events) return false;
    // Notifications carry no sequence numbers of ours.
    nl_socket_disable_seq_check(events.get());
    if (nl_connect(events.get(), NETLINK_ROUTE) < 0) return false;
    // Rule changes move traffic between tables as surely as route changes do.
    if (nl_socket_add_memberships(events.get(), RTNLGRP_LINK, RTNLGRP_IPV4_IFADDR, RTNLGRP_IPV6_IFADDR,
                                  RTNLGRP_IPV4_ROUTE, RTNLGRP_IPV6_ROUTE, RTNLGRP_IPV4_RULE, RTNLGRP_IPV6_RULE,
                                  0) < 0)
        return false;
    if (nl_socket_set_nonblocking(events.get()) < 0) return false;
    // Route storms (a VPN pushing many routes) should not overflow the queue;
    // an overflow is still only a change.
    nl_socket_set_buffer_size(events.get(), 1 << 20, 0);
    const int copy = ::fcntl(nl_socket_get_fd(events.get()), F_DUPFD_CLOEXEC, 0);
    if (copy < 0) return false;
    running->eventSocket = std::move(events);

    running_ = running;
    std::weak_ptr<Running> weak = running;
    // Posted work holds the running state weakly; while it exists, so does
    // this source, which owns it.
    running->events = std::make_unique<DescriptorSource>(queue, UniqueFd(copy), DescriptorSource::Readiness::read,
                                                         [this, weak] {
                                                             if (weak.lock()) handleEvents();
                                                         });
    auto release = [this, weak] {
        if (auto running = weak.lock()) {
            running->factsReady = true;
            refreshFacts();
        }
    };
    if (options_.watchMetered) {
        running->metered = std::make_unique<MeteredWatch>(
            queue,
            [this, weak](bool isExpensive) {
                if (auto running = weak.lock()) {
                    running->isExpensive = isExpensive;
                    if (!running->factsReady) running->deferred.cancel();  // the wait is over
                    running->factsReady = true;
                    refreshFacts();
                }
            },
            options_.busAddress);
        running->deferred = queue.asyncAfter(meteredWait, release);
    } else {
        queue.async(release);
    }
    return true;
}

void NetlinkPathSource::handleEvents() {
    auto running = running_;
    // The messages only say that something changed; the next dump tells
    // what. Drain them all: readiness is signalled for new data only.
    std::array<char, 32768> buffer;
    const int fd = nl_socket_get_fd(running->eventSocket.get());
    while (true) {
        const ssize_t received = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (received > 0) continue;
        // ENOBUFS: the kernel dropped notifications; that too is a change.
        if (received < 0 && (errno == EINTR || errno == ENOBUFS)) continue;
        break;
    }
    running->handlers.configurationChanged();
    // One refresh for everything that arrives before the queue gets to it.
    if (running->refreshPosted) return;
    running->refreshPosted = true;
    std::weak_ptr<Running> weak = running;
    running->queue->async([this, weak] {
        if (auto running = weak.lock()) {
            running->refreshPosted = false;
            refreshFacts();
        }
    });
}

void NetlinkPathSource::refreshFacts() {
    auto running = running_;
    if (!running || !running->factsReady) return;
    auto state = readState();
    if (!state) {
        std::weak_ptr<Running> weak = running;
        running->deferred.cancel();
        running->deferred = running->queue->asyncAfter(retryDelay, [this, weak] {
            if (weak.lock()) refreshFacts();
        });
        return;
    }
    PathFacts facts = state->facts(running->isExpensive);
    if (running->lastFacts == facts) return;
    running->lastFacts = facts;
    running->handlers.factsDelivered(facts);
}

void NetlinkPathSource::stop() {
    if (!running_) return;
    running_->deferred.cancel();
    running_->events.reset();
    running_->metered.reset();
    running_.reset();
}

bool NetlinkPathSource::setInternetAddresses(const std::vector<ProbeAddress>& addresses) {
    bool changed = false;
    for (const auto family : {IPFamily::v4, IPFamily::v6}) {
        const auto first = std::find_if(addresses.begin(), addresses.end(),
                                        [family](const ProbeAddress& address) { return address.family == family; });
        if (first == addresses.end()) continue;
        auto& current = family == IPFamily::v4 ? options_.internetIPv4 : options_.internetIPv6;
        const std::string text = first->text();
        if (current == text) continue;
        current = text;
        changed = true;
    }
    // Satisfaction follows the lookups too.
    if (changed) refreshFacts();
    return changed;
}

std::optional<StoreSnapshot> NetlinkPathSource::readSnapshot() {
    auto state = readState();
    if (!state) return std::nullopt;
    return state->snapshot();
}

std::optional<NetlinkState> NetlinkPathSource::readState() {
    if (!running_) return std::nullopt;
    nl_sock* socket = running_->dumpSocket.get();
    auto links = dump([socket](nl_cache** cache) { return rtnl_link_alloc_cache(socket, AF_UNSPEC, cache); });
    auto addresses = dump([socket](nl_cache** cache) { return rtnl_addr_alloc_cache(socket, cache); });
    auto routes = dump([socket](nl_cache** cache) { return rtnl_route_alloc_cache(socket, AF_UNSPEC, 0, cache); });
    if (!links || !addresses || !routes) return std::nullopt;

    NetlinkState state;
    forEach<rtnl_link>(links.get(), [&](rtnl_link* link) {
        NetlinkState::Link entry;
        entry.index = rtnl_link_get_ifindex(link);
        const char* name = rtnl_link_get_name(link);
        entry.name = name != nullptr ? name : "";
        const unsigned flags = rtnl_link_get_flags(link);
        entry.isUp = (flags & IFF_UP) != 0;
        entry.isRunning = (flags & IFF_RUNNING) != 0;
        entry.linkType = rtnl_link_get_arptype(link);
        NetlinkState::readDeviceFacts(entry, options_.sysfsNet);
        state.links.push_back(std::move(entry));
    });
    forEach<rtnl_addr>(addresses.get(), [&](rtnl_addr* address) {
        auto family = familyOf(rtnl_addr_get_family(address));
        if (!family) return;
        NetlinkState::Address entry;
        entry.interfaceIndex = rtnl_addr_get_ifindex(address);
        entry.family = *family;
        entry.scope = static_cast<std::uint8_t>(rtnl_addr_get_scope(address));
        entry.flags = rtnl_addr_get_flags(address);
        state.addresses.push_back(entry);
    });
    forEach<rtnl_route>(routes.get(), [&](rtnl_route* route) {
        auto family = familyOf(rtnl_route_get_family(route));
        if (!family) return;
        NetlinkState::Route entry;
        entry.family = *family;
        entry.table = rtnl_route_get_table(route);
        entry.type = rtnl_route_get_type(route);
        nl_addr* destination = rtnl_route_get_dst(route);
        entry.prefixLength = destination != nullptr ? static_cast<std::uint8_t>(nl_addr_get_prefixlen(destination)) : 0;
        entry.metric = rtnl_route_get_priority(route);
        entry.nextHops = nextHopsOf(route);
        state.routes.push_back(std::move(entry));
    });
    for (auto [family, destination] : {std::pair{IPFamily::v4, &options_.internetIPv4},
                                       std::pair{IPFamily::v6, &options_.internetIPv6}}) {
        if (auto lookup = lookUp(socket, family, *destination)) state.lookups.push_back(std::move(*lookup));
    }
    return state;
}

}  // namespace nerivane
