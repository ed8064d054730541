// Reads an interface's byte counters (the kernel's 64-bit link statistics)
// over one rtnetlink socket, opened once and owned here, and with them what
// of that traffic stayed on the interface's own link (LocalTraffic, from the
// interface's networks). Needs no privileges and captures nothing. Owned by
// the Monitor and used only on the probe queue.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "NerivaneKit/load/LocalTraffic.h"
#include "NerivaneKit/load/TrafficMeter.h"

struct nl_sock;

namespace nerivane {

class LinkCounters {
public:
    // Opens the sockets; without the first every read comes back empty.
    LinkCounters();
    ~LinkCounters();
    LinkCounters(const LinkCounters&) = delete;
    LinkCounters& operator=(const LinkCounters&) = delete;

    bool isOpen() const { return socket_ != nullptr; }
    // The counters of the named interface now; none when it is gone or the
    // kernel does not answer.
    std::optional<TrafficMeter::Reading> read(const std::string& interfaceName);

private:
    struct SocketFreer {
        void operator()(nl_sock* socket) const;
    };

    // The networks of the interface's addresses.
    std::vector<LocalTraffic::Prefix> networks(int interfaceIndex);

    std::unique_ptr<nl_sock, SocketFreer> socket_;
    LocalTraffic local_;
};

}  // namespace nerivane
