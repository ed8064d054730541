#include "NerivaneKit/probing/TargetPlan.h"

#include <algorithm>
#include <map>
#include <utility>

namespace nerivane::TargetPlan {
namespace {

// Built on first use; a function-local static is initialised exactly once
// even when two threads plan at the same time.
const std::map<std::string, std::string, std::less<>>& partnerTable() {
    static const std::map<std::string, std::string, std::less<>> table{
        {"1.1.1.1", "2606:4700:4700::1111"},
        {"8.8.8.8", "2001:4860:4860::8888"},
        {"9.9.9.9", "2620:fe::fe"},
    };
    return table;
}

// Only the first two entries of a host list are ever probed.
constexpr std::size_t hostsPerList = 2;

}  // namespace

std::optional<std::string> ipv6Partner(const std::string& host) {
    const auto& table = partnerTable();
    const auto found = table.find(host);
    if (found == table.end()) return std::nullopt;
    return found->second;
}

std::optional<ProbeAddress> address(const std::string& host, IPFamily family, const Resolver& resolve) {
    if (const auto numeric = ProbeAddress::parse(host)) {
        if (numeric->family == family) return numeric;
        if (family != IPFamily::v6) return std::nullopt;
        const auto partner = ipv6Partner(host);
        if (!partner) return std::nullopt;
        return ProbeAddress::parse(*partner);
    }
    for (const auto& candidate : resolve(host))
        if (candidate.family == family) return candidate;
    return std::nullopt;
}

std::vector<Target> targets(const NetworkPath& path, const TargetSettings& settings, const Resolver& resolve) {
    std::vector<Target> result;
    if (!path.isSatisfied) return result;

    const IPFamily primary = path.hasIPv4 ? IPFamily::v4 : IPFamily::v6;
    const bool dualStack = path.hasIPv4 && path.hasIPv6;

    // A host name is asked for both families (internet(0) and its IPv6
    // partner, a custom host's fallback); one blocking lookup is enough.
    std::map<std::string, std::vector<ProbeAddress>, std::less<>> resolved;
    const Resolver cachedResolve = [&](const std::string& host) {
        auto found = resolved.find(host);
        if (found == resolved.end()) found = resolved.emplace(host, resolve(host)).first;
        return found->second;
    };

    const auto& router = path.hasIPv4 ? path.routerIPv4 : path.routerIPv6;
    if (router) result.push_back({TargetRole::router(), "router", *router});

    const auto& internetHosts = settings.internetHosts;
    for (std::size_t i = 0; i < std::min(internetHosts.size(), hostsPerList); ++i) {
        if (auto found = address(internetHosts[i], primary, cachedResolve))
            result.push_back({TargetRole::internet(static_cast<int>(i)), internetHosts[i], *found});
    }

    if (path.hasIPv4 && !internetHosts.empty() && path.hasIPv6 && settings.probeIPv6) {
        if (auto found = address(internetHosts.front(), IPFamily::v6, cachedResolve))
            result.push_back({TargetRole::internetIPv6(), internetHosts.front(), *found});
    }

    const auto& customHosts = settings.customHosts;
    for (std::size_t i = 0; i < std::min(customHosts.size(), hostsPerList); ++i) {
        auto found = address(customHosts[i], primary, cachedResolve);
        if (!found && dualStack) found = address(customHosts[i], IPFamily::v6, cachedResolve);
        if (found) result.push_back({TargetRole::custom(static_cast<int>(i)), customHosts[i], *found});
    }
    return result;
}

}  // namespace nerivane::TargetPlan
