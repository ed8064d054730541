#include "NerivaneKit/lookup/LookupTally.h"

#include <algorithm>

#include "NerivaneKit/statistics/Statistics.h"

namespace nerivane {

void LookupTally::record(double time, const std::vector<LookupOutcome>& outcomes) {
    std::vector<std::pair<ResolverServer, std::deque<Sample>>> next;
    for (const auto& outcome : outcomes) {
        auto known = std::find_if(samples.begin(), samples.end(),
                                  [&](const auto& entry) { return entry.first == outcome.server; });
        std::deque<Sample> kept;
        if (known != samples.end()) kept = std::move(known->second);
        kept.push_back({time, outcome});
        while (!kept.empty() && kept.front().time < time - windowSeconds) kept.pop_front();
        next.emplace_back(outcome.server, std::move(kept));
    }
    samples = std::move(next);
    latestRound = time;
}

void LookupTally::recordSystem(std::optional<double> seconds) {
    systemSeconds = seconds;
    systemFailed = !seconds;
}

LookupSnapshot LookupTally::snapshot(double now) const {
    LookupSnapshot snapshot;
    snapshot.systemSeconds = systemSeconds;
    snapshot.systemFailed = systemFailed;
    bool allFailing = true;
    bool anyAnswered = false;
    bool allSlow = true;
    for (const auto& [server, history] : samples) {
        LookupSnapshot::Server entry;
        entry.server = server;
        std::vector<double> answers;
        for (const auto& sample : history) {
            if (sample.time < now - windowSeconds) continue;
            if (sample.outcome.seconds) answers.push_back(*sample.outcome.seconds);
            if (sample.outcome.failure && sample.time >= now - failureSeconds) ++entry.failuresLastMinute;
        }
        std::sort(answers.begin(), answers.end());
        entry.medianSeconds = Statistics::percentile(answers, 0.5);
        if (!history.empty()) {
            entry.latestFailure = history.back().outcome.failure;
            entry.latestSeconds = history.back().outcome.seconds;
        }
        allFailing = allFailing && entry.latestFailure.has_value();
        if (entry.medianSeconds) {
            anyAnswered = true;
            allSlow = allSlow && *entry.medianSeconds > slowSeconds;
        }
        snapshot.servers.push_back(std::move(entry));
    }
    using Health = LookupSnapshot::Health;
    snapshot.latestRound = latestRound;
    if (!latestRound || snapshot.servers.empty())
        snapshot.health = Health::unknown;
    else if (allFailing)
        snapshot.health = Health::failing;
    else if (anyAnswered && allSlow)
        snapshot.health = Health::slow;
    else
        snapshot.health = Health::ok;
    return snapshot;
}

}  // namespace nerivane
