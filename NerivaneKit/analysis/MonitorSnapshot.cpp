#include "NerivaneKit/analysis/MonitorSnapshot.h"

namespace nerivane {

bool MonitorSnapshot::isMeasuredInternet(const TargetSnapshot& target) {
    if (target.target.role.kind != TargetRole::Kind::internet || target.answeredLocally) return false;
    switch (target.status) {
    case TargetStatus::warmingUp:
    case TargetStatus::icmp:
    case TargetStatus::tcp: return true;
    case TargetStatus::doesntAnswerPing:
    case TargetStatus::unreachableVPN:
    case TargetStatus::pingNotPermitted: return false;
    }
    return false;
}

std::vector<TargetSnapshot> MonitorSnapshot::measuredInternetTargets() const {
    std::vector<TargetSnapshot> result;
    for (const auto& target : targets) {
        if (isMeasuredInternet(target)) result.push_back(target);
    }
    return result;
}

}  // namespace nerivane
