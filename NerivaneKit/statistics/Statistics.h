// The two statistics rules shared by the live window and the history store:
// the nearest-rank percentile and jitter. Pure functions, usable on any queue.
#pragma once

#include <optional>
#include <span>

namespace nerivane::Statistics {

// One probe's outcome in time order, as the jitter rule reads it.
struct Sample {
    // When the probe was sent.
    double time = 0;
    // Absent for a lost probe.
    std::optional<double> rtt;
    bool operator==(const Sample&) const = default;
};

// Nearest rank of an ascending array: the value at rank max(ceil(fraction * n), 1)
// (1-based), no interpolation. The median (0.5) of an even count is the lower
// middle value; the 0.95 percentile of 20 values is the 19th. None for n = 0.
std::optional<double> percentile(std::span<const double> sorted, double fraction);

// The mean absolute difference of adjacent replied round-trip times, samples
// in time order. A lost probe breaks the pair: the replies on either side of
// it are not compared. None when no pair of adjacent replies exists.
std::optional<double> jitter(std::span<const Sample> samples);

}  // namespace nerivane::Statistics
