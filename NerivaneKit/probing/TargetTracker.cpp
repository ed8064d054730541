#include "NerivaneKit/probing/TargetTracker.h"

#include <utility>

namespace nerivane {

TargetTracker::TargetTracker(Target target, bool isVPN, EngineTime startedAt)
    : target(std::move(target)), isVPN(isVPN), startedAt(startedAt) {}

std::optional<ProbeProtocol> TargetTracker::protocol(TargetStatus status) {
    switch (status) {
    case TargetStatus::warmingUp:
    case TargetStatus::icmp: return ProbeProtocol::icmp;
    case TargetStatus::tcp: return ProbeProtocol::tcp;
    case TargetStatus::doesntAnswerPing:
    case TargetStatus::unreachableVPN:
    case TargetStatus::pingNotPermitted: return std::nullopt;
    }
    return std::nullopt;
}

void TargetTracker::setStatus(TargetStatus status) {
    if (protocol(status) != protocol(status_)) {
        isRechecking = false;
        recheckReplies = 0;
    }
    status_ = status;
}

std::optional<TargetStatus> TargetTracker::settle(EngineTime now) {
    if (status_ != TargetStatus::warmingUp || now - startedAt < warmUp) return std::nullopt;

    TargetStatus settled = TargetStatus::icmp;
    if (icmpReplies >= 1) {
        settled = TargetStatus::icmp;
    } else if (target.role == TargetRole::router() || target.role == TargetRole::provider()) {
        // Neither has a TCP port to fall back on.
        settled = isVPN ? TargetStatus::unreachableVPN : TargetStatus::doesntAnswerPing;
    } else if (target.role.isInternet() && tcpReplies >= 1) {
        settled = TargetStatus::tcp;
    } else if (icmpRefused) {
        settled = TargetStatus::pingNotPermitted;
    }
    setStatus(settled);
    return settled;
}

TargetTracker::Plan TargetTracker::plan(EngineTime now, Seconds interval, bool routerAnswered,
                                        std::optional<EngineTime> lastCheck) {
    const bool due = isRechecking || !lastSent || now - *lastSent >= interval - dueSlack;
    const bool checkDue = lastCheck && now - *lastCheck >= checkEvery;

    Plan plan;
    switch (status_) {
    case TargetStatus::warmingUp:
        plan.sendICMP = true;
        // Without ICMP the router can never answer, and nothing else can
        // measure the host: try TCP at once.
        plan.sendTCP = target.role.isInternet() && icmpReplies == 0 &&
                       (icmpRefused || (routerAnswered && now - startedAt >= tcpAttemptsAfter));
        plan.tcpIsCheck = plan.sendTCP;
        plan.regularDue = true;
        break;
    case TargetStatus::icmp:
        plan.sendICMP = due;
        plan.regularDue = due;
        break;
    case TargetStatus::tcp:
        plan.sendICMP = checkDue;
        plan.icmpIsCheck = checkDue;
        plan.sendTCP = due;
        plan.regularDue = due;
        break;
    case TargetStatus::doesntAnswerPing:
    case TargetStatus::unreachableVPN:
    case TargetStatus::pingNotPermitted:
        plan.sendICMP = checkDue;
        plan.icmpIsCheck = checkDue;
        break;
    }
    if (plan.regularDue) lastSent = now;
    return plan;
}

TargetTracker::Accounting TargetTracker::account(const ProbeResult& result, ProbeProtocol resultProtocol,
                                                 bool isCheck, Seconds interval) {
    Accounting accounting;
    accounting.isMeasurement = !isCheck && protocol(status_) == resultProtocol;

    // A late reply is reported but says nothing new about reachability.
    if (result.isLate()) return accounting;

    if (accounting.isMeasurement) {
        if (result.isLost()) {
            // At one probe a second or faster the normal rounds already are a burst.
            isRechecking = interval > Seconds{1.0};
            recheckReplies = 0;
        } else if (isRechecking && ++recheckReplies >= recheckRepliesToEnd) {
            isRechecking = false;
        }
    }

    const TargetStatus before = status_;
    if (resultProtocol == ProbeProtocol::tcp) {
        if (result.isReply()) ++tcpReplies;
        return accounting;
    }

    if (result.isReply()) {
        ++icmpReplies;
        ++consecutiveICMPReplies;
        accounting.routerAnswered = target.role == TargetRole::router();
    } else {
        consecutiveICMPReplies = 0;
    }

    if (!protocol(status_) && result.isReply())
        setStatus(TargetStatus::icmp);
    else if (status_ == TargetStatus::tcp && consecutiveICMPReplies >= checkRepliesToLeaveTCP)
        setStatus(TargetStatus::icmp);

    if (status_ != before) accounting.newStatus = status_;
    return accounting;
}

std::optional<TargetStatus> TargetTracker::refuseICMP() {
    icmpRefused = true;
    // TCP measurements go on; a warming internet target still tries TCP.
    if (status_ == TargetStatus::tcp || status_ == TargetStatus::pingNotPermitted) return std::nullopt;
    if (status_ == TargetStatus::warmingUp && target.role.isInternet()) return std::nullopt;
    setStatus(TargetStatus::pingNotPermitted);
    return status_;
}

}  // namespace nerivane
