#include "NerivaneKit/history/HistoryGrades.h"

#include <array>
#include <map>
#include <tuple>
#include <utility>

#include "NerivaneKit/load/LoadTracker.h"

namespace nerivane::HistoryGrades {

namespace {

std::optional<Role> roleOf(const TargetRole& role) {
    switch (role.kind) {
    case TargetRole::Kind::router: return Role::router;
    case TargetRole::Kind::internet:
    case TargetRole::Kind::internetIPv6: return Role::internet;
    case TargetRole::Kind::custom:
    case TargetRole::Kind::provider: return std::nullopt;
    }
    return std::nullopt;
}

// A period without a busy reply either way, with its counters read: its
// median is the idle round trip of that time.
bool quiet(const AggregateRow& row) {
    return row.busyUploadReplies == std::int64_t{0} && row.busyDownloadReplies == std::int64_t{0};
}

// The busy replies of one role in one period, by direction.
using BusyKey = std::tuple<std::int64_t, std::int64_t, Role>;
using BusyCounts = std::map<BusyKey, std::array<std::int64_t, 2>>;

BusyCounts busyCounts(const std::vector<AggregateRow>& aggregates) {
    BusyCounts counts;
    for (const AggregateRow& row : aggregates) {
        const auto role = roleOf(row.role);
        if (!role) continue;
        auto& count = counts[{row.start, row.seconds, *role}];
        count[0] += row.busyUploadReplies.value_or(0);
        count[1] += row.busyDownloadReplies.value_or(0);
    }
    return counts;
}

}  // namespace

Summary summarize(const std::vector<PeriodRow>& periods, const std::vector<AggregateRow>& aggregates) {
    Summary summary;
    for (const PeriodRow& period : periods) {
        if (period.sentBytes) summary.sentBytes = summary.sentBytes.value_or(0) + *period.sentBytes;
        if (period.receivedBytes) summary.receivedBytes = summary.receivedBytes.value_or(0) + *period.receivedBytes;
    }
    // The running monitor grades a direction once the role's replies of 60
    // seconds that met the link busy that way are enough to go on; a few busy
    // seconds (the acknowledgements of an upload briefly lifting the download
    // side) are not a load. So a period is busy for a role and direction only
    // when the role's rows hold that many busy replies; the busy figures come
    // from such periods alone. An hour row is judged as a whole.
    const BusyCounts busy = busyCounts(aggregates);
    for (LoadDirection direction : {LoadDirection::upload, LoadDirection::download}) {
        for (Role role : {Role::router, Role::internet}) {
            std::vector<std::pair<double, double>> idle, loaded;
            Grade grade{direction, role, {}, {}, {}, 0, {}};
            for (const AggregateRow& row : aggregates) {
                if (roleOf(row.role) != role) continue;
                if (row.median && quiet(row)) idle.emplace_back(*row.median, static_cast<double>(row.sent - row.lost));
                const bool upload = direction == LoadDirection::upload;
                const auto& median = upload ? row.busyUploadMedian : row.busyDownloadMedian;
                const auto& replies = upload ? row.busyUploadReplies : row.busyDownloadReplies;
                const auto& count = busy.at({row.start, row.seconds, role})[upload ? 0 : 1];
                if (median && replies && *replies > 0 && count >= static_cast<std::int64_t>(LoadTracker::minimumBusyReplies)) {
                    loaded.emplace_back(*median, static_cast<double>(*replies));
                    grade.busyReplies += *replies;
                }
            }
            grade.idleMedian = HistoryQueries::weightedMedian(std::move(idle));
            grade.busyMedian = HistoryQueries::weightedMedian(std::move(loaded));
            if (grade.idleMedian && grade.busyMedian) {
                grade.added = *grade.busyMedian - *grade.idleMedian;
                if (grade.busyReplies >= leastBusyReplies) grade.grade = gradeForAddedLatency(*grade.added);
            }
            summary.grades.push_back(grade);
        }
    }
    return summary;
}

Summary read(const HistoryQueries& queries, Date fromDate, Date toDate) {
    const double from = unixSeconds(fromDate), to = unixSeconds(toDate);
    using Value = Database::Value;
    // No row is longer than an hour: the bound on the start, which follows
    // from the overlap, lets the key skip the older rows.
    const std::string window = "start > ? AND start + seconds > ? AND start < ?";
    const std::vector<Value> values{Value::real(from - 3600), Value::real(from), Value::real(to)};
    // Custom targets count in no grade: their rows are not read at all.
    return summarize(queries.periods(window, values),
                     queries.aggregates(window + " AND role NOT LIKE 'custom[%'", values));
}

}  // namespace nerivane::HistoryGrades
