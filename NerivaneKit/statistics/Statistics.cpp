#include "NerivaneKit/statistics/Statistics.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace nerivane::Statistics {

std::optional<double> percentile(std::span<const double> sorted, double fraction) {
    if (sorted.empty()) return std::nullopt;
    const double n = static_cast<double>(sorted.size());
    // Clamp both ends: a fraction outside [0, 1] (or NaN) must not index outside the array.
    double rank = std::ceil(fraction * n);
    if (!(rank >= 1)) rank = 1;
    if (rank > n) rank = n;
    return sorted[static_cast<std::size_t>(rank) - 1];
}

std::optional<double> jitter(std::span<const Sample> samples) {
    double sum = 0;
    std::size_t count = 0;
    for (std::size_t i = 0; i + 1 < samples.size(); ++i) {
        const auto& a = samples[i].rtt;
        const auto& b = samples[i + 1].rtt;
        if (a && b) {
            sum += std::fabs(*b - *a);
            ++count;
        }
    }
    if (count == 0) return std::nullopt;
    return sum / static_cast<double>(count);
}

}  // namespace nerivane::Statistics
