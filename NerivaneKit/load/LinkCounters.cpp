#include "NerivaneKit/load/LinkCounters.h"

#include <netinet/in.h>
#include <netlink/netlink.h>
#include <netlink/route/addr.h>
#include <netlink/route/link.h>
#include <netlink/socket.h>

#include <cstring>

namespace nerivane {
namespace {

struct LinkFreer {
    void operator()(rtnl_link* link) const { rtnl_link_put(link); }
};
struct CacheFreer {
    void operator()(nl_cache* cache) const { nl_cache_free(cache); }
};

}  // namespace

void LinkCounters::SocketFreer::operator()(nl_sock* socket) const {
    nl_socket_free(socket);
}

LinkCounters::LinkCounters() {
    std::unique_ptr<nl_sock, SocketFreer> socket(nl_socket_alloc());
    if (socket && nl_connect(socket.get(), NETLINK_ROUTE) >= 0) socket_ = std::move(socket);
}

LinkCounters::~LinkCounters() = default;

std::optional<TrafficMeter::Reading> LinkCounters::read(const std::string& interfaceName) {
    if (!socket_ || interfaceName.empty()) return std::nullopt;
    // One RTM_GETLINK request by name; the answer carries IFLA_STATS64, which
    // libnl exposes as the link's statistics.
    rtnl_link* raw = nullptr;
    if (rtnl_link_get_kernel(socket_.get(), 0, interfaceName.c_str(), &raw) < 0 || raw == nullptr)
        return std::nullopt;
    std::unique_ptr<rtnl_link, LinkFreer> link(raw);
    const LocalTraffic::Flow local = local_.count(networks(rtnl_link_get_ifindex(link.get())));
    return TrafficMeter::Reading{rtnl_link_get_stat(link.get(), RTNL_LINK_TX_BYTES),
                                 rtnl_link_get_stat(link.get(), RTNL_LINK_RX_BYTES), local.sent, local.received};
}

std::vector<LocalTraffic::Prefix> LinkCounters::networks(int interfaceIndex) {
    std::vector<LocalTraffic::Prefix> found;
    nl_cache* raw = nullptr;
    if (rtnl_addr_alloc_cache(socket_.get(), &raw) < 0 || raw == nullptr) return found;
    std::unique_ptr<nl_cache, CacheFreer> cache(raw);
    for (nl_object* object = nl_cache_get_first(cache.get()); object != nullptr; object = nl_cache_get_next(object)) {
        auto* address = reinterpret_cast<rtnl_addr*>(object);
        nl_addr* local = rtnl_addr_get_local(address);
        if (rtnl_addr_get_ifindex(address) != interfaceIndex || local == nullptr) continue;
        LocalTraffic::Prefix prefix;
        prefix.family = nl_addr_get_family(local);
        prefix.length = rtnl_addr_get_prefixlen(address);
        const unsigned length = nl_addr_get_len(local);
        if ((prefix.family != AF_INET && prefix.family != AF_INET6) || length > prefix.bytes.size()) continue;
        std::memcpy(prefix.bytes.data(), nl_addr_get_binary_addr(local), length);
        found.push_back(prefix);
    }
    return found;
}

}  // namespace nerivane
