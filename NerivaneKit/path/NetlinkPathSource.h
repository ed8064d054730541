// The Linux path source: reads links, addresses and routes over rtnetlink
// (libnl-route), asks the kernel which route internet traffic takes (rules
// applied), watches the change events of all of them and of the routing
// rules, and reads NetworkManager's metered state for the expense. Owned by a PathMonitor; lives on the
// monitor's queue (start, stop, reads and every callback run there).
//
// Facts are delivered right after start (as soon as the metered state is
// known, at most a second later) and then whenever a change event or the
// metered state changes them. Every change event also reports a
// configuration change, which the monitor debounces.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "NerivaneKit/path/NetlinkState.h"
#include "NerivaneKit/path/PathSource.h"

namespace nerivane {

class NetlinkPathSource final : public PathSource {
public:
    struct Options {
        // Where the device types are read (sysfs, per network namespace).
        std::filesystem::path sysfsNet = "/sys/class/net";
        // Ask NetworkManager whether the network is metered; without it the
        // path is never expensive.
        bool watchMetered = true;
        // The bus to ask; none is the system bus.
        std::optional<std::string> busAddress;
        // Where internet traffic goes, per family: the kernel is asked for
        // its route to these (a table lookup; nothing is sent to them). The
        // defaults are the default first internet target and its partner,
        // used until the probe engine names the targets it really probes.
        std::string internetIPv4 = "1.1.1.1";
        std::string internetIPv6 = "2606:4700:4700::1111";
    };

    NetlinkPathSource();
    explicit NetlinkPathSource(Options options);
    ~NetlinkPathSource() override;

    bool start(SerialQueue& queue, Handlers handlers) override;
    void stop() override;
    std::optional<StoreSnapshot> readSnapshot() override;
    // The first address of each family replaces that family's lookup address.
    bool setInternetAddresses(const std::vector<ProbeAddress>& addresses) override;

    // The kernel's tables as they are now; none when not started or when the
    // dump fails.
    std::optional<NetlinkState> readState();

private:
    struct Running;
    void handleEvents();
    void refreshFacts();

    Options options_;
    std::shared_ptr<Running> running_;
};

}  // namespace nerivane
