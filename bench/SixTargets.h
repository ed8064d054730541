// The six targets a full installation probes (router, two internet hosts, the
// first one's IPv6 partner, two custom hosts), for the benchmarks that fill a
// monitor core.
#pragma once

#include <vector>

#include "NerivaneKit/probing/Target.h"

namespace nerivane::bench {

inline std::vector<Target> sixTargets() {
    return {
        {TargetRole::router(), "router", *ProbeAddress::parse("192.168.1.1")},
        {TargetRole::internet(0), "1.1.1.1", *ProbeAddress::parse("1.1.1.1")},
        {TargetRole::internet(1), "8.8.8.8", *ProbeAddress::parse("8.8.8.8")},
        {TargetRole::internetIPv6(), "1.1.1.1", *ProbeAddress::parse("2606:4700:4700::1111")},
        {TargetRole::custom(0), "9.9.9.9", *ProbeAddress::parse("9.9.9.9")},
        {TargetRole::custom(1), "example", *ProbeAddress::parse("10.0.0.1")},
    };
}

}  // namespace nerivane::bench
