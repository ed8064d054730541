// Latency under load over a stored span, as nerivane-history's grades
// command prints it: per direction and role the idle and busy medians, the
// latency a busy link added and its grade, and the bytes the interface moved.
// Pure over rows; read() runs on the caller's thread against queries it owns.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "NerivaneKit/history/AggregateRow.h"
#include "NerivaneKit/history/HistoryQueries.h"
#include "NerivaneKit/history/PeriodRow.h"
#include "NerivaneKit/load/LoadClass.h"
#include "NerivaneKit/load/LoadGrade.h"

namespace nerivane::HistoryGrades {

// The router, or the internet hosts together (IPv4 and IPv6). Custom targets
// are left out: they may sit anywhere, even on the local network.
enum class Role { router, internet };

constexpr std::string_view text(Role role) { return role == Role::router ? "router" : "internet"; }

// Fewer busy replies than this give medians but no grade, as in the monitor.
inline constexpr std::int64_t leastBusyReplies = 10;

struct Grade {
    LoadDirection direction = LoadDirection::upload;
    Role role = Role::router;
    // Milliseconds. Idle: the stored medians of the quiet periods (counters
    // read, not one busy reply either way), weighted by their replies. Busy:
    // the stored busy medians of this direction, weighted by their busy
    // replies, of the periods in which the role was busy that way by the
    // running monitor's rule (at least LoadTracker::minimumBusyReplies busy
    // replies of the role); busyReplies counts those periods' replies.
    std::optional<double> idleMedian;
    std::optional<double> busyMedian;
    std::optional<double> added;
    std::int64_t busyReplies = 0;
    std::optional<LoadGrade> grade;

    bool operator==(const Grade&) const = default;
};

struct Summary {
    // Summed over the periods that read counters; none when none did.
    std::optional<std::int64_t> sentBytes;
    std::optional<std::int64_t> receivedBytes;
    // Upload router, upload internet, download router, download internet.
    std::vector<Grade> grades;

    bool operator==(const Summary&) const = default;
};

Summary summarize(const std::vector<PeriodRow>& periods, const std::vector<AggregateRow>& aggregates);

// The periods and aggregates that overlap [from, to). Throws Database::Error.
Summary read(const HistoryQueries& queries, Date from, Date to);

}  // namespace nerivane::HistoryGrades
