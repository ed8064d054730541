#include "NerivaneKit/load/LinkCounters.h"

#include <netlink/netlink.h>
#include <netlink/route/link.h>
#include <netlink/socket.h>

namespace nerivane {
namespace {

struct LinkFreer {
    void operator()(rtnl_link* link) const { rtnl_link_put(link); }
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
    return TrafficMeter::Reading{rtnl_link_get_stat(link.get(), RTNL_LINK_TX_BYTES),
                                 rtnl_link_get_stat(link.get(), RTNL_LINK_RX_BYTES)};
}

}  // namespace nerivane
