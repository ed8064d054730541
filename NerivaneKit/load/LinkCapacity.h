// The link's observed capacity per direction, in bits per second: a high
// percentile of its 10-second throughput over the last seven days. Zero while
// nothing is known. A plain value read from history and kept by the monitor.
#pragma once

namespace nerivane {

struct LinkCapacity {
    double uploadBitsPerSecond = 0;
    double downloadBitsPerSecond = 0;

    bool operator==(const LinkCapacity&) const = default;
};

}  // namespace nerivane
