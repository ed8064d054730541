#include "NerivaneKit/load/RollingThroughput.h"

#include <algorithm>
#include <cmath>

#include "NerivaneKit/load/LinkCapacity.h"
#include "NerivaneKit/platform/Invariants.h"

namespace nerivane {

void RollingThroughput::add(const TrafficSample& read, bool continuesRun) {
    if (!std::isfinite(read.seconds) || !(read.seconds > 0)) return;
    if (!continuesRun) clear();
    reads_.push_back(read);
    // Summed afresh, not carried along: no rounding builds up over a long run.
    seconds_ = 0;
    for (const TrafficSample& kept : reads_) seconds_ += kept.seconds;
    while (reads_.size() > 1 && seconds_ - reads_.front().seconds >= LinkCapacity::sampleSeconds) {
        seconds_ -= reads_.front().seconds;
        reads_.pop_front();
    }
    NERIVANE_CHECK_INVARIANTS();
}

void RollingThroughput::clear() {
    reads_.clear();
    seconds_ = 0;
}

bool RollingThroughput::full() const { return seconds_ >= LinkCapacity::sampleSeconds; }

RollingThroughput::Rate RollingThroughput::rate() const {
    double sent = 0;
    double received = 0;
    for (const TrafficSample& read : reads_) {
        sent += static_cast<double>(read.sentBytes);
        received += static_cast<double>(read.receivedBytes);
    }
    const double seconds = std::max(seconds_, LinkCapacity::sampleSeconds);
    return Rate{sent * 8 / seconds, received * 8 / seconds};
}

bool RollingThroughput::invariantsHold() const {
    double seconds = 0;
    for (const TrafficSample& read : reads_) seconds += read.seconds;
    const bool minimal = reads_.size() <= 1 || seconds - reads_.front().seconds < LinkCapacity::sampleSeconds;
    // Carried and fresh sums may differ in their last bits.
    return minimal && std::fabs(seconds - seconds_) <= 1e-9 * std::max(1.0, seconds);
}

}  // namespace nerivane
