#include "NerivaneKit/history/HistoryReport.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <tuple>
#include <unordered_map>

#include "NerivaneKit/analysis/Thresholds.h"
#include "NerivaneKit/history/HistoryChart.h"
#include "NerivaneKit/statistics/Statistics.h"

namespace nerivane::HistoryReport {

namespace {

using Value = Database::Value;

std::int64_t floorMod(std::int64_t a, std::int64_t b) {
    const std::int64_t remainder = a % b;
    return remainder < 0 ? remainder + b : remainder;
}

// What the internet targets showed in one period.
struct InternetPeriod {
    std::int64_t seconds = 0;
    bool probed = false, replied = false, poor = false;
};

// The periods of the window, one per start: an hour row beats a minute row
// at the same start, as in the export; other lengths are damage.
std::vector<PeriodRow> uniquePeriods(std::vector<PeriodRow> rows) {
    std::erase_if(rows, [](const PeriodRow& row) { return row.seconds != 60 && row.seconds != 3600; });
    std::stable_sort(rows.begin(), rows.end(), [](const PeriodRow& a, const PeriodRow& b) { return a.start < b.start; });
    std::vector<PeriodRow> unique;
    unique.reserve(rows.size());
    for (PeriodRow& row : rows) {
        if (!unique.empty() && unique.back().start == row.start) {
            if (row.seconds > unique.back().seconds) unique.back() = std::move(row);
        } else {
            unique.push_back(std::move(row));
        }
    }
    return unique;
}

void addLookups(Lookups& lookups, std::vector<double>& medians, const PeriodRow& period) {
    if (period.dnsMedian) {
        ++lookups.periods;
        medians.push_back(*period.dnsMedian);
    }
    lookups.failures += period.dnsFailures.value_or(0);
}

void finishLookups(Lookups& lookups, std::vector<double>& medians) {
    std::sort(medians.begin(), medians.end());
    lookups.median = Statistics::percentile(medians, 0.5);
}

void addReach(Reach& reach, const InternetPeriod& period) {
    if (!period.probed) return;
    reach.probedSeconds += period.seconds;
    if (period.replied) reach.reachableSeconds += period.seconds;
    if (period.replied && !period.poor) reach.goodSeconds += period.seconds;
}

}  // namespace

std::optional<Span> parseSpan(std::string_view text) {
    for (Span span : {Span::day, Span::week, Span::month, Span::all})
        if (HistoryReport::text(span) == text) return span;
    return std::nullopt;
}

std::int64_t localMidnight(const TimeZone& zone, std::int64_t t) { return t - floorMod(t + zone.offset(t), 86400); }

std::pair<double, double> window(const HistoryQueries& queries, Span span, Date end) {
    const double to = std::floor(unixSeconds(end) / 60) * 60;
    switch (span) {
    case Span::day: return {to - 86400, to};
    case Span::week: return {to - 7 * 86400.0, to};
    case Span::month: return {to - 30 * 86400.0, to};
    case Span::all: break;
    }
    const auto oldest = queries.oldestStart();
    return {oldest ? std::min(static_cast<double>(*oldest), to) : to, to};
}

std::vector<const Incident*> Figures::downs() const {
    std::vector<const Incident*> found;
    for (const Incident& incident : incidents) {
        if (incident.kind != NetworkEvent::Kind::outage) continue;
        // A router that alone stops answering (many ignore pings while busy) cut nothing off.
        std::vector<TargetRole> hit;
        for (const auto& event : incident.events)
            if (std::find(hit.begin(), hit.end(), event.role) == hit.end()) hit.push_back(event.role);
        if (incident.isInternet() || (incident.isLocal() && hit.size() > 1)) found.push_back(&incident);
    }
    return found;
}

double Figures::downSeconds() const {
    double seconds = 0;
    for (const Incident* incident : downs()) seconds += incident->duration();
    return seconds;
}

std::int64_t Figures::unmonitoredSeconds() const {
    std::int64_t seconds = 0;
    for (const auto& [state, count] : states)
        if (state != MinuteState::measured) seconds += count;
    return seconds;
}

const Series* Figures::mainSeries() const {
    for (const Series& one : series)
        if (one.role.kind == TargetRole::Kind::internet) return &one;
    return series.empty() ? nullptr : &series.front();
}

Figures read(const HistoryQueries& queries, Span span, Date end) {
    const auto [from, to] = window(queries, span, end);
    return read(queries, span, dateFromUnixSeconds(from), dateFromUnixSeconds(to));
}

Figures read(const HistoryQueries& queries, Span span, Date fromDate, Date toDate) {
    Figures figures;
    figures.span = span;
    figures.zone = queries.timeZone();
    // As the export's window: minutes, from an hour before the roll-up boundary.
    const auto firstMinute = HistoryQueries::minuteStart(fromDate);
    const auto lastMinute = HistoryQueries::minuteStart(toDate);
    const auto boundary = HistoryQueries::rollupBoundary(toDate);
    if (!firstMinute || !lastMinute || !boundary || *lastMinute <= *firstMinute) {
        figures.from = figures.to = unixSeconds(toDate);
        return figures;
    }
    std::int64_t from = *firstMinute;
    if (from < *boundary) from = HistoryQueries::hourStart(from);
    const std::int64_t to = *lastMinute;
    figures.from = static_cast<double>(from);
    figures.to = static_cast<double>(to);
    const std::vector<Value> window{Value::integer(from), Value::integer(to)};

    // Local days, the first and last cut to the window.
    for (std::int64_t day = localMidnight(queries.timeZone(), from); day < to;) {
        const std::int64_t next = localMidnight(queries.timeZone(), day + 86400 + 3 * 3600);
        figures.days.push_back(Day{std::max(day, from), std::min(next, to), {}, {}, {}});
        day = next;
    }
    auto dayOf = [&](std::int64_t start) -> Day& {
        auto found = std::upper_bound(figures.days.begin(), figures.days.end(), start,
                                      [](std::int64_t t, const Day& day) { return t < day.start; });
        return *(found == figures.days.begin() ? found : found - 1);
    };

    // The internet targets' periods, and every target the window used.
    std::unordered_map<std::int64_t, InternetPeriod> internet;
    internet.reserve(static_cast<std::size_t>((to - from) / 60));
    const std::string roles = queries.schema().hasKeyedTables()
                                  ? HistoryQueries::rolesCTE + "SELECT role FROM roles WHERE role IS NOT NULL"
                                  : "SELECT DISTINCT role FROM aggregates";
    const std::string select = std::string("SELECT ") + Database::rowsFunction +
                               "(start, seconds, role, host, address, protocol, sent, lost, late, p95, jitter) "
                               "FROM aggregates WHERE role = ? AND start >= ? AND start < ?";
    for (const Database::Row& found : queries.database().query(roles)) {
        const std::string* roleText = found.empty() ? nullptr : found.front().asText();
        const auto role = roleText ? TargetRole::parse(*roleText) : std::nullopt;
        if (!role) continue;
        const Thresholds limits = Thresholds::forRole(*role);
        // A role has a target or two: found by comparing texts in place, made once.
        const std::size_t first = figures.targets.size();
        queries.database().scan(select, {found.front(), window[0], window[1]}, [&](const Database::Cursor& row) {
            const auto key = HistoryQueries::aggregateKey(row);
            if (!key || (key->seconds != 60 && key->seconds != 3600)) return;
            auto known = std::find_if(figures.targets.begin() + static_cast<std::ptrdiff_t>(first), figures.targets.end(),
                                      [&](const TargetUsed& target) {
                                          return target.address == key->address && target.host == key->host &&
                                                 target.protocol == key->protocol;
                                      });
            if (known == figures.targets.end())
                known = figures.targets.insert(known, TargetUsed{*role, std::string(key->host), std::string(key->address),
                                                                 key->protocol, 0, 0});
            TargetUsed& target = *known;
            target.sent += key->sent;
            target.seconds += key->seconds;
            if (!role->isInternet() || key->sent <= 0) return;
            InternetPeriod& period = internet[key->start];
            if (period.seconds != 0 && period.seconds != key->seconds) {
                // An hour and a minute at one start: the hour stands, as its period row does.
                if (key->seconds < period.seconds) return;
                period = {};
            }
            period.seconds = key->seconds;
            period.probed = true;
            if (key->sent > key->lost) period.replied = true;
            const auto p95 = row.real(9), jitter = row.real(10);
            if ((p95 && *p95 > limits.p95) || (jitter && *jitter > limits.jitter)) period.poor = true;
        });
    }
    std::stable_sort(figures.targets.begin(), figures.targets.end(), [](const TargetUsed& a, const TargetUsed& b) {
        const auto x = HistoryQueries::roleOrder(a.role), y = HistoryQueries::roleOrder(b.role);
        if (x != y) return x < y;
        return std::tie(a.address, a.host) < std::tie(b.address, b.host);
    });

    // Periods: their states, reach and lookups, in all and per day.
    std::vector<double> lookupMedians;
    std::map<const Day*, std::vector<double>> dayMedians;
    std::int64_t covered = 0;
    std::map<const Day*, std::int64_t> dayCovered;
    auto notMeasured = [&](std::int64_t start, std::int64_t stop) {
        if (!figures.unmonitored.empty() && figures.unmonitored.back().second >= start)
            figures.unmonitored.back().second = std::max(figures.unmonitored.back().second, stop);
        else
            figures.unmonitored.emplace_back(start, stop);
    };
    std::int64_t reached = from;
    for (const PeriodRow& period : uniquePeriods(queries.periods("start >= ? AND start < ?", window))) {
        const std::int64_t seconds = std::min(period.seconds, to - period.start);
        if (period.start > reached) notMeasured(reached, period.start);
        reached = std::max(reached, period.start + seconds);
        if (period.state != MinuteState::measured) notMeasured(period.start, period.start + seconds);
        (period.seconds == 60 ? figures.minuteRows : figures.hourRows) += 1;
        Day& day = dayOf(period.start);
        figures.states[period.state] += seconds;
        day.states[period.state] += seconds;
        covered += seconds;
        dayCovered[&day] += seconds;
        addLookups(figures.lookups, lookupMedians, period);
        addLookups(day.lookups, dayMedians[&day], period);
        if (period.state != MinuteState::measured) continue;
        const auto found = internet.find(period.start);
        if (found == internet.end() || found->second.seconds != period.seconds) continue;
        InternetPeriod counted = found->second;
        counted.seconds = seconds;
        addReach(figures.reach, counted);
        addReach(day.reach, counted);
    }
    if (reached < to) notMeasured(reached, to);
    finishLookups(figures.lookups, lookupMedians);
    if (const std::int64_t gap = (to - from) - covered; gap > 0) figures.states[MinuteState::notRunning] += gap;
    for (Day& day : figures.days) {
        finishLookups(day.lookups, dayMedians[&day]);
        if (const std::int64_t gap = (day.end - day.start) - dayCovered[&day]; gap > 0)
            day.states[MinuteState::notRunning] += gap;
    }

    // The chart's figures per role: hours for the chart and the heat map, local days for the table.
    const std::int64_t firstHour = HistoryQueries::hourStart(from);
    const HistoryChart::Buckets hours{firstHour, 3600, (to - firstHour + 3599) / 3600};
    for (const TargetUsed& target : figures.targets) {
        if (std::any_of(figures.series.begin(), figures.series.end(), [&](const Series& made) { return made.role == target.role; }))
            continue;
        const Date end = dateFromUnixSeconds(static_cast<double>(to));
        Series series{target.role, target.host, HistoryChart::read(queries, hours, target.role, end), {}};
        for (const Day& day : figures.days) {
            auto bucket = HistoryChart::read(queries, HistoryChart::Buckets{day.start, day.end - day.start, 1}, target.role, end);
            ChartBucket none;
            none.start = static_cast<double>(day.start);
            series.days.push_back(bucket.empty() ? none : bucket.front());
        }
        figures.series.push_back(std::move(series));
    }

    // The export's events, grouped as the popup groups them.
    figures.incidents = Incident::group(
        queries.events("end > ? AND start < ? ORDER BY start", {Value::real(figures.from), Value::real(figures.to)}));
    figures.grades = HistoryGrades::read(queries, dateFromUnixSeconds(figures.from), dateFromUnixSeconds(figures.to));
    return figures;
}

}  // namespace nerivane::HistoryReport
