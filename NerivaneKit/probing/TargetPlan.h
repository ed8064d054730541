// Turns the user's target settings and the current network path into the
// ordered list of targets to probe. No state beyond a constant table; safe on
// any thread, but name resolution blocks, so the engine plans on its probe
// queue only with answers it already has and looks names up elsewhere.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "NerivaneKit/path/NetworkPath.h"
#include "NerivaneKit/net/IPFamily.h"
#include "NerivaneKit/net/ProbeAddress.h"
#include "NerivaneKit/probing/Target.h"
#include "NerivaneKit/probing/TargetSettings.h"

namespace nerivane::TargetPlan {

// Looks a host name up; the engine passes ProbeAddress::resolve, tests pass
// their own.
using Resolver = std::function<std::vector<ProbeAddress>(const std::string&)>;

// The IPv6 address text of the same operator's resolver for a well-known IPv4
// resolver, by the exact text the user typed ("1.1.1.1" ->
// "2606:4700:4700::1111"); none for any other host.
std::optional<std::string> ipv6Partner(const std::string& host);

// The address of one host in one family. A numeric host of that family is
// used as it is; a numeric IPv4 host has an IPv6 address only through the
// partner table; a name gives the first address of the family that
// `resolve` returns.
std::optional<ProbeAddress> address(const std::string& host, IPFamily family, const Resolver& resolve);

// The targets for a path, in the order router, internet(0), internet(1),
// internetIPv6, custom(0), custom(1); each may be missing, so at most six.
// Only the first two hosts of each settings list are considered; a host
// without a usable address is left out and its index is not reused. An
// unsatisfied path gives no targets. Each distinct name is resolved at most
// once per call.
std::vector<Target> targets(const NetworkPath& path, const TargetSettings& settings, const Resolver& resolve);

}  // namespace nerivane::TargetPlan
