// The link's observed capacity per direction, in bits per second: a high
// percentile of its 10-second throughput over the last seven days. Zero while
// nothing is known. A plain value read from history and kept by the monitor.
#pragma once

namespace nerivane {

struct LinkCapacity {
    double uploadBitsPerSecond = 0;
    double downloadBitsPerSecond = 0;

    // The span over which a throughput counts towards capacity: the session's
    // peak and history's per-minute peaks both average this long.
    static constexpr double sampleSeconds = 10;

    bool operator==(const LinkCapacity&) const = default;
};

}  // namespace nerivane
