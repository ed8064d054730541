// The bytes the path's interface sent and received through the router
// between two counter reads (one probing tick; what went to hosts on the
// local link left out), dated by the later read. Made on the probe queue,
// kept per minute by history, whose peaks are the link's capacity.
#pragma once

#include <cstdint>

namespace nerivane {

struct TrafficSample {
    // Unix seconds of the later read.
    double date = 0;
    // Seconds between the two reads.
    double seconds = 0;
    std::uint64_t sentBytes = 0;
    std::uint64_t receivedBytes = 0;

    bool operator==(const TrafficSample&) const = default;
};

}  // namespace nerivane
