#include "NerivaneKit/lookup/LookupTally.h"

#include <algorithm>

#include "NerivaneKit/statistics/Statistics.h"

namespace nerivane {

void LookupTally::record(MonitorTime time, const std::vector<LookupOutcome>& outcomes) {
    std::vector<Server> next;
    for (const auto& outcome : outcomes) {
        auto known = std::find_if(servers.begin(), servers.end(),
                                  [&](const Server& entry) { return entry.server == outcome.server; });
        Server entry;
        if (known != servers.end()) entry = std::move(*known);
        entry.server = outcome.server;
        entry.samples.push_back({time, outcome});
        while (!entry.samples.empty() && entry.samples.front().time < time - window) entry.samples.pop_front();
        if (outcome.failure) {
            ++entry.failedInARow;
        } else {
            entry.failedInARow = 0;
            entry.lastAnswer = time;
        }
        next.push_back(std::move(entry));
    }
    servers = std::move(next);
    latestRound = time;
}

void LookupTally::recordSystem(std::optional<Seconds> took) {
    systemTime = took;
    systemFailed = !took;
    systemFailedInARow = took ? 0 : systemFailedInARow + 1;
}

LookupSnapshot LookupTally::snapshot(MonitorTime now) const {
    LookupSnapshot snapshot;
    if (systemTime) snapshot.systemSeconds = systemTime->count();
    snapshot.systemFailed = systemFailed;
    bool allFailing = true;
    bool anyAnswered = false;
    bool allSlow = true;
    for (const auto& server : servers) {
        LookupSnapshot::Server entry;
        entry.server = server.server;
        std::vector<double> answers;
        for (const auto& sample : server.samples) {
            if (sample.time < now - window) continue;
            if (sample.outcome.seconds) answers.push_back(*sample.outcome.seconds);
            if (sample.outcome.failure && sample.time >= now - failureWindow) ++entry.failuresLastMinute;
        }
        std::sort(answers.begin(), answers.end());
        entry.medianSeconds = Statistics::percentile(answers, 0.5);
        if (!server.samples.empty()) {
            const auto& latest = server.samples.back().outcome;
            entry.latestFailure = latest.failure;
            entry.latestSeconds = latest.seconds;
            if (!latest.missingName.empty()) snapshot.missingName = latest.missingName;
        }
        if (server.lastAnswer) entry.lastAnswerAge = std::max(0.0, (now - *server.lastAnswer).count());
        allFailing = allFailing && server.failedInARow >= failingRounds;
        if (entry.medianSeconds) {
            anyAnswered = true;
            allSlow = allSlow && *entry.medianSeconds > slowSeconds;
        }
        snapshot.servers.push_back(std::move(entry));
    }
    using Health = LookupSnapshot::Health;
    if (latestRound) snapshot.latestRound = latestRound->time_since_epoch().count();
    // The system's own lookup failing is what applications see, whatever
    // the servers answer when asked directly (a broken local resolver).
    const bool systemFailing = systemFailedInARow >= failingRounds;
    if (!latestRound || snapshot.servers.empty())
        snapshot.health = Health::unknown;
    else if (allFailing || systemFailing)
        snapshot.health = Health::failing;
    else if (anyAnswered && allSlow)
        snapshot.health = Health::slow;
    else
        snapshot.health = Health::ok;
    return snapshot;
}

}  // namespace nerivane
