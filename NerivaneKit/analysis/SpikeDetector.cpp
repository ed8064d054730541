#include "NerivaneKit/analysis/SpikeDetector.h"

#include <algorithm>

#include "NerivaneKit/statistics/Statistics.h"

namespace nerivane {

std::optional<double> SpikeDetector::threshold(std::span<const double> rtts, std::size_t runLength) {
    // The newest replies of the window are the run itself; they must not
    // raise the level they are compared against.
    const std::size_t count = rtts.size() > runLength ? rtts.size() - runLength : 0;
    if (count < minimumBaseline) return std::nullopt;
    std::vector<double> sorted(rtts.begin(), rtts.begin() + static_cast<std::ptrdiff_t>(count));
    std::sort(sorted.begin(), sorted.end());
    const double median = *Statistics::percentile(sorted, 0.5);
    return std::max(3 * median, median + 20);
}

std::optional<SpikeDetector::Spike> SpikeDetector::observe(std::span<const double> rtts, double rtt, MonitorTime time) {
    const auto limit = threshold(rtts, run.size());
    if (limit && rtt > *limit) {
        run.push_back(Entry{time, rtt});
        return std::nullopt;
    }
    std::optional<Spike> spike;
    if (run.size() >= minimumRun) {
        double worst = run.front().rtt;
        for (const auto& entry : run) worst = std::max(worst, entry.rtt);
        spike = Spike{run.front().time, time, worst};
    }
    run.clear();
    return spike;
}

}  // namespace nerivane
