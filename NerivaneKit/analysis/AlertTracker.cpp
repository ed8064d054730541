#include "NerivaneKit/analysis/AlertTracker.h"

#include <algorithm>

#include "NerivaneKit/analysis/Incident.h"

namespace nerivane {

std::vector<AlertTracker::Alert> AlertTracker::update(const MonitorSnapshot& snapshot, Date now) {
    std::vector<Alert> alerts;
    updateInternet(snapshot, now, alerts);
    updateVerdict(snapshot.verdict, now, alerts);
    return alerts;
}

void AlertTracker::reset() {
    downSince.reset();
    postedDown = false;
    downVerdict.reset();
    upSince.reset();
    candidate.reset();
}

void AlertTracker::updateInternet(const MonitorSnapshot& snapshot, Date now, std::vector<Alert>& alerts) {
    if (!snapshot.internet) return;
    switch (snapshot.internet->kind) {
    case TargetState::Kind::measuring: return;
    case TargetState::Kind::down: {
        // Down again before the return held: the same incident goes on.
        upSince.reset();
        const auto measured = snapshot.measuredInternetTargets();
        if (!downSince) {
            // The internet as a whole went down when the last of its hosts did.
            std::optional<Date> latest;
            for (const auto& target : measured) {
                if (!target.outageSince) continue;
                const Date since = dateFromUnixSeconds(*target.outageSince);
                latest = latest ? std::max(*latest, since) : since;
            }
            downSince = latest.value_or(now);
        }
        if (outages && !postedDown && now - *downSince >= downSeconds) {
            InternetDown alert{*downSince, {}, snapshot.verdict};
            for (const auto& target : measured) alert.hosts.push_back(target.target.host);
            downVerdict = alert.verdict;
            alerts.emplace_back(std::move(alert));
            postedDown = true;
        }
        return;
    }
    case TargetState::Kind::ok:
    case TargetState::Kind::bad:
        if (postedDown && downSince) {
            if (!upSince) upSince = now;
            if (now - *upSince < Seconds{Incident::adjacentSeconds}) return;
            alerts.emplace_back(InternetBack{*upSince - *downSince});
            // The return to good is covered by this alert; don't announce it again.
            lastVerdict = Verdict::good;
        }
        downSince.reset();
        postedDown = false;
        downVerdict.reset();
        upSince.reset();
        return;
    }
}

void AlertTracker::updateVerdict(Verdict verdict, Date now, std::vector<Alert>& alerts) {
    if (verdict == Verdict::measuring) return;
    if (!candidate || candidate->verdict != verdict) candidate = Candidate{verdict, now};
    if (now - candidate->since < verdictSeconds) return;
    if (lastVerdict == verdict) return;
    // A down alert that asked for the sign-in asked already; one that did not, did not.
    const bool coveredByDownAlert =
        postedDown && (verdict == Verdict::internetDown || verdict == Verdict::localDown ||
                       verdict == Verdict::connectionDown || verdict == Verdict::providerDown ||
                       (verdict == Verdict::signInNeeded && downVerdict == Verdict::signInNeeded));
    // The first verdict that holds after start is the starting point, not a change.
    if (verdictChanges && lastVerdict && !coveredByDownAlert) alerts.emplace_back(VerdictChanged{verdict});
    lastVerdict = verdict;
}

}  // namespace nerivane
