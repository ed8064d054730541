#include "NerivaneKit/history/HistoryGrades.h"

#include <utility>

namespace nerivane::HistoryGrades {

namespace {

std::optional<Role> roleOf(const TargetRole& role) {
    switch (role.kind) {
    case TargetRole::Kind::router: return Role::router;
    case TargetRole::Kind::internet:
    case TargetRole::Kind::internetIPv6: return Role::internet;
    case TargetRole::Kind::custom: return std::nullopt;
    }
    return std::nullopt;
}

// A period without a busy reply either way, with its counters read: its
// median is the idle round trip of that time.
bool quiet(const AggregateRow& row) {
    return row.busyUploadReplies == std::int64_t{0} && row.busyDownloadReplies == std::int64_t{0};
}

}  // namespace

Summary summarize(const std::vector<PeriodRow>& periods, const std::vector<AggregateRow>& aggregates) {
    Summary summary;
    for (const PeriodRow& period : periods) {
        if (period.sentBytes) summary.sentBytes = summary.sentBytes.value_or(0) + *period.sentBytes;
        if (period.receivedBytes) summary.receivedBytes = summary.receivedBytes.value_or(0) + *period.receivedBytes;
    }
    for (LoadDirection direction : {LoadDirection::upload, LoadDirection::download}) {
        for (Role role : {Role::router, Role::internet}) {
            std::vector<std::pair<double, double>> idle, busy;
            Grade grade{direction, role, {}, {}, {}, 0, {}};
            for (const AggregateRow& row : aggregates) {
                if (roleOf(row.role) != role) continue;
                if (row.median && quiet(row)) idle.emplace_back(*row.median, static_cast<double>(row.sent - row.lost));
                const bool upload = direction == LoadDirection::upload;
                const auto& median = upload ? row.busyUploadMedian : row.busyDownloadMedian;
                const auto& replies = upload ? row.busyUploadReplies : row.busyDownloadReplies;
                if (median && replies && *replies > 0) {
                    busy.emplace_back(*median, static_cast<double>(*replies));
                    grade.busyReplies += *replies;
                }
            }
            grade.idleMedian = HistoryStore::weightedMedian(std::move(idle));
            grade.busyMedian = HistoryStore::weightedMedian(std::move(busy));
            if (grade.idleMedian && grade.busyMedian) {
                grade.added = *grade.busyMedian - *grade.idleMedian;
                if (grade.busyReplies >= leastBusyReplies) grade.grade = gradeForAddedLatency(*grade.added);
            }
            summary.grades.push_back(grade);
        }
    }
    return summary;
}

Summary read(const HistoryStore& store, double from, double to) {
    using Value = Database::Value;
    const std::string window = "start + seconds > ? AND start < ?";
    const std::vector<Value> values{Value::real(from), Value::real(to)};
    return summarize(store.periods(window, values), store.aggregates(window, values));
}

}  // namespace nerivane::HistoryGrades
