// The figures of the report a user sends their provider: over a window of
// stored history, how often and how long the internet was down, how much of
// the time it answered and answered well, per local day and per hour, the
// incidents, the grades under load, name lookups, which targets and periods
// the figures rest on, and the time nothing was measured. Every figure comes
// from the reads behind the chart (HistoryChart), the grades (HistoryGrades)
// and the CSV export (the stored period and aggregate rows, the events); the
// page itself is HistoryReportPage's.
// Pure over queries its caller owns; read() runs on the caller's thread (the
// history queue in the application).
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "NerivaneKit/analysis/Incident.h"
#include "NerivaneKit/history/ChartBucket.h"
#include "NerivaneKit/history/HistoryGrades.h"
#include "NerivaneKit/history/HistoryQueries.h"
#include "NerivaneKit/probing/ProbeProtocol.h"
#include "NerivaneKit/probing/TargetRole.h"

namespace nerivane::HistoryReport {

// The windows a report covers, as the command line names them.
enum class Span { day, week, month, all };

constexpr std::string_view text(Span span) {
    switch (span) {
    case Span::day: return "day";
    case Span::week: return "week";
    case Span::month: return "month";
    case Span::all: return "all";
    }
    return "";
}

std::optional<Span> parseSpan(std::string_view text);

// The window [from, to) of a span ending at `end`: the minute holding end is
// left out, as the export leaves out the current one; `all` starts at the
// oldest stored period (at end in an empty file).
std::pair<double, double> window(const HistoryQueries& queries, Span span, Date end);

// A target the window's figures rest on, with its probes and the seconds of
// the periods that carry them.
struct TargetUsed {
    TargetRole role;
    std::string host;
    std::string address;
    ProbeProtocol protocol = ProbeProtocol::icmp;
    std::int64_t sent = 0;
    std::int64_t seconds = 0;
    bool operator==(const TargetUsed&) const = default;
};

// Seconds per state; notRunning holds the time no period covers.
using StateSeconds = std::map<MinuteState, std::int64_t>;

// Whether the internet answered. A period counts when it was measured and an
// internet target was probed in it; it was reachable when any internet
// target replied, and good when, besides, no internet target's 95th
// percentile or jitter passed the limits the monitor holds it to.
struct Reach {
    std::int64_t probedSeconds = 0;
    std::int64_t reachableSeconds = 0;
    std::int64_t goodSeconds = 0;
    bool operator==(const Reach&) const = default;
};

// Name lookups of the periods that ran them: the median of their medians,
// and the failed lookups.
struct Lookups {
    std::int64_t periods = 0;
    std::optional<double> median;
    std::int64_t failures = 0;
    bool operator==(const Lookups&) const = default;
};

// One local day (or the part of it inside the window).
struct Day {
    std::int64_t start = 0;
    std::int64_t end = 0;
    Reach reach;
    StateSeconds states;
    Lookups lookups;
    bool operator==(const Day&) const = default;
};

// One target role's chart figures: per hour (UTC hours) and per local day.
struct Series {
    TargetRole role;
    std::string host;
    std::vector<ChartBucket> hours;
    std::vector<ChartBucket> days;
    bool operator==(const Series&) const = default;
};

struct Figures {
    // Unix seconds; from is a minute start (an hour's before the roll-up boundary).
    double from = 0;
    double to = 0;
    Span span = Span::week;
    TimeZone zone = TimeZone::utc();
    std::int64_t minuteRows = 0;
    std::int64_t hourRows = 0;
    std::vector<TargetUsed> targets;
    StateSeconds states;
    // The stretches [start, end) not measured, to the minute, merged; the
    // chart greys them.
    std::vector<std::pair<std::int64_t, std::int64_t>> unmonitored;
    Reach reach;
    Lookups lookups;
    std::vector<Day> days;
    std::vector<Series> series;
    std::vector<Incident> incidents;
    HistoryGrades::Summary grades;
    bool operator==(const Figures&) const = default;

    // The outage incidents that cut this machine off the internet, those the
    // popup calls "Internet down" and "Local network down": two or more
    // internet targets at once, or the router with any other.
    std::vector<const Incident*> downs() const;
    double downSeconds() const;
    // Seconds of the window not measured: paused, locked, asleep, offline
    // and not running.
    std::int64_t unmonitoredSeconds() const;
    // The series of the first internet target, else the first; none without series.
    const Series* mainSeries() const;
};

// Reads the figures of [from, to). Throws Database::Error.
Figures read(const HistoryQueries& queries, Span span, Date from, Date to);
Figures read(const HistoryQueries& queries, Span span, Date end);

// The start of the local day holding t.
std::int64_t localMidnight(const TimeZone& zone, std::int64_t t);

}  // namespace nerivane::HistoryReport
