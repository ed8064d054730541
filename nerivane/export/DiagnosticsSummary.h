// The first part of `nerivane --diagnostics`: the verdict (from a running
// instance), per target the median, p95 and loss of the last hour, today's
// outages, the name lookups of the last hour and the latest load grades,
// read from the history file, so that it is there with or without an
// instance. As text (the number style of every surface) or JSON. A value
// built and printed on the main thread of the short-lived client.
#pragma once

#include <QJsonObject>
#include <QStringList>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "NerivaneKit/history/HistoryGrades.h"
#include "NerivaneKit/history/TimeZone.h"

namespace nerivane {

class HistoryQueries;

struct DiagnosticsSummary {
    static constexpr double hour = 3600;

    struct Target {
        std::string role;
        std::string address;
        // Milliseconds: the median of the minutes' medians and the 95th
        // percentile of the minutes' p95s.
        std::optional<double> median;
        std::optional<double> p95;
        std::int64_t sent = 0;
        std::int64_t lost = 0;
        bool operator==(const Target&) const = default;
    };

    // Unix seconds.
    double now = 0;
    TimeZone zone = TimeZone::utc();
    // The running instance's verdict; none without one that answers.
    std::optional<std::string> verdict;
    bool historyRead = false;
    std::vector<Target> targets;
    // Since local midnight; outages of targets that overlap count once.
    int outagesToday = 0;
    double outageSecondsToday = 0;
    // Milliseconds, over the last hour's minutes that looked names up.
    std::optional<double> dnsMedian;
    std::int64_t dnsFailures = 0;
    // The last day's grades of the internet hosts, upload then download.
    std::vector<HistoryGrades::Grade> grades;

    bool operator==(const DiagnosticsSummary&) const = default;

    // What the history holds for the hour and the day before now (throws Database::Error).
    static DiagnosticsSummary read(const HistoryQueries& queries, double now, const TimeZone& zone);
    // The verdict a live report names ("verdict good ..."); none in another text.
    static std::optional<std::string> verdictOf(const QString& report);

    QStringList lines() const;
    // The summary's figures and the report's lines under "detail".
    QJsonObject json(const QString& report) const;
};

}  // namespace nerivane
