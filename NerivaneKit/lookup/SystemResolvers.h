// Which DNS servers the system uses: systemd-resolved's servers per link (over
// the system bus) when /etc/resolv.conf points at its stub, otherwise the
// nameserver lines of resolv.conf. A VPN's servers are among them as soon as
// the VPN hands them to resolved or rewrites resolv.conf. Reading may block on
// the bus: call it on the lookup queue only.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "NerivaneKit/lookup/ResolverServer.h"

namespace nerivane {

struct SystemResolvers {
    // Where to read; tests point both at their own.
    struct Sources {
        std::string resolvConf = "/etc/resolv.conf";
        // None: the system bus.
        std::optional<std::string> busAddress;
    };

    // resolv.conf's nameserver lines, in order, without duplicates. A scoped
    // IPv6 address (fe80::1%eth0) keeps its scope as the link.
    static std::vector<ResolverServer> parseResolvConf(std::string_view text);
    // resolved's stub listeners: 127.0.0.53 and 127.0.0.54.
    static bool isStub(const ResolverServer& server);
    // resolved's Manager.DNS property (every link's servers and the global
    // ones); none when resolved does not answer.
    static std::optional<std::vector<ResolverServer>> readResolved(const std::optional<std::string>& busAddress);
    // The servers to probe. When resolv.conf names only resolved's stub and
    // resolved does not tell its servers, the stub itself.
    static std::vector<ResolverServer> read(const Sources& sources);
};

}  // namespace nerivane
