// Decides how one target is probed: warm-up, then ICMP, TCP or (the router)
// no measurements at all, with minute-by-minute ICMP checks and a recheck
// burst after a loss. A plain value: the probe engine owns one per target
// role and calls it on its probe queue; all times are engine time.
#pragma once

#include <optional>

#include "NerivaneKit/platform/Clocks.h"
#include "NerivaneKit/probing/ProbeProtocol.h"
#include "NerivaneKit/probing/ProbeResult.h"
#include "NerivaneKit/probing/Target.h"
#include "NerivaneKit/probing/TargetStatus.h"

namespace nerivane {

// State transitions (status, what triggers it, and the call that makes it):
//
//   warmingUp -> icmp              [settle] 10 s passed and an ICMP reply was seen
//   warmingUp -> unreachableVPN    [settle] 10 s, router, no ICMP reply, VPN path
//   warmingUp -> doesntAnswerPing  [settle] 10 s, router, no ICMP reply, no VPN
//   warmingUp -> tcp               [settle] 10 s, internet role, no ICMP reply,
//                                           a TCP connection completed
//   warmingUp -> icmp              [settle] 10 s, anything else (custom hosts
//                                           and silent hosts are measured as losing)
//   tcp -> icmp                    [account] third ICMP check reply in a row
//   doesntAnswerPing,
//   unreachableVPN -> icmp         [account] any ICMP reply
//   any but tcp -> pingNotPermitted [refuseICMP] no ICMP socket may be opened
//                                           (an internet target warming up
//                                           stays, to try TCP)
//   warmingUp -> pingNotPermitted  [settle] 10 s, internet role, ICMP refused,
//                                           no TCP connection completed
//   pingNotPermitted -> icmp       [account] an ICMP check answered (the
//                                           user has been let in meanwhile)
//
// icmp is final. Each status measures with one protocol: warmingUp and icmp
// with ICMP, tcp with TCP, the two router statuses with none. Results of the
// other protocol, and all check probes, are never measurements.
//
// Per tick the engine calls settle(), then plan(), sends what the plan asks
// for, and feeds every result of this target back through account().
//
//   status            ICMP probe         TCP probe          regular due
//   warmingUp         always             warm-up attempt*   always
//   icmp              if due             never              if due
//   tcp               check, if 60 s     if due             if due
//   doesntAnswerPing,
//   unreachableVPN,
//   pingNotPermitted  check, if 60 s     never              never
//
//   due: rechecking, or interval - 0.5 s passed since lastSent.
//   *an internet target that has not answered ICMP gets a TCP check from 3 s
//    into the warm-up on, but only once the router has answered ICMP; when
//    ICMP is refused outright, on every tick of the warm-up.
struct TargetTracker {
    // The outcome of planning one tick. A check flag is only set together
    // with its send flag.
    struct Plan {
        bool sendICMP = false;
        bool icmpIsCheck = false;
        bool sendTCP = false;
        bool tcpIsCheck = false;
        // The regular probe fell due; plan() has already set lastSent to now.
        bool regularDue = false;
        bool operator==(const Plan&) const = default;
    };

    // What one result meant.
    struct Accounting {
        // Emit the result as a measurement of the target.
        bool isMeasurement = false;
        // The status this result moved the tracker to, if it changed.
        std::optional<TargetStatus> newStatus{};
        // An ICMP reply from the router: the engine sets its routerAnswered.
        bool routerAnswered = false;
        bool operator==(const Accounting&) const = default;
    };

    static constexpr Seconds warmUp{10.0};
    static constexpr Seconds tcpAttemptsAfter{3.0};
    static constexpr Seconds checkEvery{60.0};
    // A regular probe is due this much before a full interval has passed, so
    // that timer jitter does not skip a round.
    static constexpr Seconds dueSlack{0.5};
    static constexpr int recheckRepliesToEnd = 3;
    static constexpr int checkRepliesToLeaveTCP = 3;

    TargetTracker(Target target, bool isVPN, EngineTime startedAt);

    Target target;
    // The path's VPN flag when the targets were built.
    bool isVPN = false;
    EngineTime startedAt{};
    // Replies since creation, measurements and checks alike.
    int icmpReplies = 0;
    int tcpReplies = 0;
    // ICMP replies since the last ICMP loss; late replies leave it alone.
    int consecutiveICMPReplies = 0;
    // A measured loss at a slow interval makes every tick due until
    // recheckReplies measured replies have come back.
    bool isRechecking = false;
    int recheckReplies = 0;
    // When the regular probe was last due and sent; none before the first.
    std::optional<EngineTime> lastSent;
    // The system refused an ICMP socket for this target's family.
    bool icmpRefused = false;

    TargetStatus status() const { return status_; }
    // Moving to a status of another protocol ends a recheck burst, since the
    // burst was about measurements of the old protocol.
    void setStatus(TargetStatus status);

    // The protocol a status measures with; none for the two router statuses
    // and pingNotPermitted.
    static std::optional<ProbeProtocol> protocol(TargetStatus status);

    // Ends the warm-up once it has lasted 10 s; returns the new status when
    // the status changed. Call at the start of each tick, before plan().
    std::optional<TargetStatus> settle(EngineTime now);

    // What to send this tick. `lastCheck` is the engine's time of the last
    // ICMP check of this role (none: no check is due yet). Sets lastSent =
    // now when the regular probe is due. After sending an ICMP check (even
    // one that failed to send) the engine sets its lastCheck to now.
    Plan plan(EngineTime now, Seconds interval, bool routerAnswered, std::optional<EngineTime> lastCheck);

    // Books a result of a probe sent for this target with the given protocol
    // and check flag; `interval` is the engine's current regular interval.
    Accounting account(const ProbeResult& result, ProbeProtocol protocol, bool isCheck, Seconds interval);

    // An ICMP probe of this target could not get a socket because the user
    // may not open one. Not a loss: returns the new status when it changed.
    std::optional<TargetStatus> refuseICMP();

    // The engine keeps its timer at 1 s or faster while this holds.
    bool needsFastTicks() const { return status_ == TargetStatus::warmingUp || isRechecking; }

    bool operator==(const TargetTracker&) const = default;

private:
    // Private so that every change goes through setStatus and its invariant.
    TargetStatus status_ = TargetStatus::warmingUp;
};

}  // namespace nerivane
