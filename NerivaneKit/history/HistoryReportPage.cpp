#include "NerivaneKit/history/HistoryReportPage.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <set>

#include "NerivaneKit/analysis/Thresholds.h"
#include "NerivaneKit/history/HistoryCSV.h"
#include "NerivaneKit/platform/NumberText.h"
#include "NerivaneKit/statistics/Statistics.h"

namespace nerivane::HistoryReportPage {

namespace {

using HistoryReport::Figures;
using HistoryReport::Series;

std::string escaped(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string number(double value, int decimals) { return HistoryCSV::fixed(value, decimals); }

// Milliseconds the way the popup shows them: whole from 10 ms, one decimal below.
std::string milliseconds(const std::optional<double>& value) {
    if (!value) return "–";
    return number(*value, std::fabs(*value) < 10 ? 1 : 0) + " ms";
}

std::string percent(double share) {
    // 99.96 % is not 100 %: a share short of whole never rounds up to it.
    double shown = std::round(share * 1000) / 10;
    if (shown >= 100 && share < 1) shown = 99.9;
    return number(shown, shown == std::floor(shown) ? 0 : 1) + " %";
}

std::string plural(std::int64_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

// "35 s", "23 min", "4 h 12 min", "3 d 4 h".
std::string duration(double seconds) {
    const auto s = static_cast<std::int64_t>(std::llround(std::max(seconds, 0.0)));
    if (s < 60) return std::to_string(s) + " s";
    const std::int64_t minutes = (s + 30) / 60;
    if (minutes < 60) return std::to_string(minutes) + " min";
    const std::int64_t hours = minutes / 60;
    if (hours < 48) return std::to_string(hours) + " h" + (minutes % 60 ? " " + std::to_string(minutes % 60) + " min" : "");
    return std::to_string(hours / 24) + " d" + (hours % 24 ? " " + std::to_string(hours % 24) + " h" : "");
}

// Minutes for the summary: "23 minutes", "35 seconds".
std::string spokenDuration(double seconds) {
    if (seconds < 59.5) return plural(std::llround(seconds), "second", "seconds");
    const auto minutes = std::llround(seconds / 60);
    if (minutes < 120) return plural(minutes, "minute", "minutes");
    return plural(std::llround(seconds / 3600), "hour", "hours");
}

std::tm localTime(const TimeZone& zone, double t) {
    const auto seconds = static_cast<std::int64_t>(std::floor(t));
    const std::time_t shifted = seconds + zone.offset(seconds);
    std::tm parts{};
    gmtime_r(&shifted, &parts);
    return parts;
}

constexpr std::array<const char*, 7> weekdays{"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr std::array<const char*, 12> months{"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                             "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

std::string two(int value) { return (value < 10 ? "0" : "") + std::to_string(value); }

// "Sat 14 Mar", "Sat 14 Mar 2026 12:05", "12:05".
std::string dayText(const TimeZone& zone, double t) {
    const std::tm p = localTime(zone, t);
    return std::string(weekdays[static_cast<std::size_t>(p.tm_wday)]) + " " + std::to_string(p.tm_mday) + " " +
           months[static_cast<std::size_t>(p.tm_mon)];
}
std::string clockText(const TimeZone& zone, double t) {
    const std::tm p = localTime(zone, t);
    return two(p.tm_hour) + ":" + two(p.tm_min);
}
std::string dateTimeText(const TimeZone& zone, double t) {
    const std::tm p = localTime(zone, t);
    return dayText(zone, t) + " " + std::to_string(p.tm_year + 1900) + " " + clockText(zone, t);
}

std::string offsetText(int offset) {
    const int magnitude = std::abs(offset) / 60;
    return std::string("UTC") + (offset < 0 ? "−" : "+") + two(magnitude / 60) + ":" + two(magnitude % 60);
}

std::string spanWords(const Figures& figures) {
    switch (figures.span) {
    case HistoryReport::Span::day: return "the last 24 hours";
    case HistoryReport::Span::week: return "the last 7 days";
    case HistoryReport::Span::month: return "the last 30 days";
    case HistoryReport::Span::all: break;
    }
    const auto days = std::llround((figures.to - figures.from) / 86400);
    return days >= 1 ? "the " + plural(days, "day", "days") + " stored" : "the time stored";
}

// Where the trouble lay: "router" (this side of it), "provider" (its edge is
// among the targets), "internet", or the custom host.
std::string where(const Incident& incident) {
    if (incident.isLocal()) return "router";
    bool internet = false, provider = false;
    for (const auto& event : incident.events) {
        internet = internet || event.role.isInternet();
        provider = provider || event.role.kind == TargetRole::Kind::provider;
    }
    return provider ? "provider" : internet ? "internet" : "custom host";
}

std::string targetsText(const Incident& incident) {
    std::vector<std::string> names;
    for (const auto& event : incident.events) {
        std::string name = event.role.shownName(event.host);
        if (event.role.kind == TargetRole::Kind::internetIPv6 &&
            std::any_of(incident.events.begin(), incident.events.end(), [&](const NetworkEvent& other) {
                return other.role.kind == TargetRole::Kind::internet && other.host == event.host;
            }))
            name = "IPv6";
        if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
    }
    std::string text;
    for (const auto& name : names) text += (text.empty() ? "" : ", ") + name;
    return text;
}

const HistoryGrades::Grade* gradeOf(const Figures& figures, LoadDirection direction) {
    for (const auto& grade : figures.grades.grades)
        if (grade.direction == direction && grade.role == HistoryGrades::Role::internet) return &grade;
    return nullptr;
}

std::string gradeClause(const HistoryGrades::Grade& grade) {
    std::string text = *grade.added < 0.5 ? std::string("nothing measurable") : milliseconds(grade.added);
    text += grade.grade ? " (grade " + std::string(nerivane::text(*grade.grade)) + ")" : " (too few busy replies to grade)";
    return text;
}

// The style sheet: light and dark screens, and print on A4 or Letter, always light.
constexpr const char* style = R"(
:root{--fg:#1d1f23;--muted:#5f6670;--bg:#fff;--card:#f5f6f8;--line:#d9dce1;--median:#1f6fd1;--p95:#9cc0ee;
--loss:#d1342c;--down:#f4c7c3;--off:#e3e4e8;--night:#f0f2f6;--good:#2e9d52;--h0:#d9f0df;--h1:#f5f0c4;--h2:#f8d9a6;--h3:#f3ad8d;--h4:#e4776a}
@media screen and (prefers-color-scheme:dark){:root{--fg:#e8eaee;--muted:#a0a7b2;--bg:#16181c;--card:#202329;--line:#3a3f48;
--median:#6aa8ff;--p95:#3d5f8f;--loss:#ff6b5f;--down:#5a2a27;--off:#33363d;--night:#1c1f25;--good:#5fd184;
--h0:#1f4a2c;--h1:#4d4a1f;--h2:#5e4420;--h3:#6b3522;--h4:#7d2723}}
*{box-sizing:border-box}
body{font:13px/1.4 system-ui,-apple-system,"Segoe UI",Cantarell,"DejaVu Sans",sans-serif;color:var(--fg);background:var(--bg);
margin:0 auto;max-width:960px;padding:20px}
h1{font-size:20px;margin:0}h2{font-size:14px;margin:18px 0 6px;text-transform:uppercase;letter-spacing:.04em;color:var(--muted)}
p{margin:4px 0}.sub,.note{color:var(--muted)}.note{font-size:11px}
.summary{font-size:16px;font-weight:600;margin:12px 0;padding:10px 12px;background:var(--card);border-radius:8px}
table{border-collapse:collapse;width:100%;font-size:12px}th,td{padding:2px 6px;text-align:left;border-bottom:1px solid var(--line);vertical-align:top}
th{color:var(--muted);font-weight:600}td.n,th.n{text-align:right;font-variant-numeric:tabular-nums}td{white-space:nowrap}td.off-minutes{white-space:normal}
svg{display:block;width:100%;height:auto}svg text{fill:var(--muted);font-size:10px}
.chart .median{fill:none;stroke:var(--median);stroke-width:1.4}.chart .p95{fill:none;stroke:var(--p95);stroke-width:1}
.chart .loss{fill:var(--loss)}.chart .down{fill:var(--down)}.chart .off{fill:var(--off)}.chart .night{fill:var(--night)}
.chart .axis{stroke:var(--line);stroke-width:.6}.chart .frame{fill:none;stroke:var(--line)}
.key{display:inline-block;width:10px;height:10px;border-radius:2px;vertical-align:-1px;margin:0 3px 0 10px}
.heat .c0{fill:var(--h0)}.heat .c1{fill:var(--h1)}.heat .c2{fill:var(--h2)}.heat .c3{fill:var(--h3)}.heat .c4{fill:var(--h4)}
.heat .none{fill:var(--off)}.heat .dot{fill:var(--loss)}
.grid{display:grid;grid-template-columns:1fr 1fr;gap:0 24px}
dl{display:grid;grid-template-columns:max-content 1fr;gap:1px 12px;margin:0;font-size:12px}dt{color:var(--muted)}dd{margin:0}
.off-minutes{color:var(--muted);font-style:italic}
footer{margin-top:16px;color:var(--muted);font-size:11px}
@page{margin:12mm}
@media print{body{max-width:none;padding:0;font-size:9.5px}h1{font-size:16px}h2{font-size:10.5px;margin:10px 0 4px}
.summary{font-size:12px;padding:6px 8px;margin:8px 0}table{font-size:9px}dl{font-size:9px}th,td{padding:1px 4px}
section{break-inside:avoid}tr{break-inside:avoid}
*{-webkit-print-color-adjust:exact;print-color-adjust:exact}}
)";

// The chart of one role: median and p95 per hour, lines broken where nothing
// was measured, loss as bars along the foot, outages shaded, time not
// monitored greyed, nights (22:00 to 06:00 local) tinted, local midnights marked.
void chart(std::string& out, const Figures& figures, const Series& series, const std::vector<const Incident*>& downs) {
    constexpr double width = 720, height = 78, left = 38, right = 4, top = 4, foot = 14;
    const double plotWidth = width - left - right, plotHeight = height - top - foot;
    const double span = std::max(figures.to - figures.from, 60.0);
    auto x = [&](double t) { return left + std::clamp((t - figures.from) / span, 0.0, 1.0) * plotWidth; };
    // The scale reaches the 98th percentile of the p95s: one wild hour must not flatten the rest.
    std::vector<double> highs;
    for (const auto& bucket : series.hours)
        if (bucket.p95 || bucket.median) highs.push_back(bucket.p95.value_or(*bucket.median));
    std::sort(highs.begin(), highs.end());
    double scale = Statistics::percentile(highs, 0.98).value_or(10);
    for (double step : {5.0, 10.0, 20.0, 50.0, 100.0, 200.0, 500.0, 1000.0, 2000.0, 5000.0}) {
        if (scale <= step) {
            scale = step;
            break;
        }
    }
    auto y = [&](double ms) { return top + plotHeight - std::clamp(ms / scale, 0.0, 1.0) * plotHeight; };

    out += "<svg class=\"chart\" viewBox=\"0 0 720 78\" role=\"img\" aria-label=\"" +
           escaped(series.role.shownName(series.host)) + ": median and 95th percentile per hour\">";
    // Nights and midnights.
    for (const auto& day : figures.days) {
        const auto midnight = HistoryReport::localMidnight(figures.zone, day.start);
        for (const auto& [from, to] : {std::pair{midnight - 2 * 3600, midnight + 6 * 3600},
                                       std::pair{midnight + 22 * 3600, midnight + 30 * 3600}}) {
            const double a = x(static_cast<double>(from)), b = x(static_cast<double>(to));
            if (b > a) out += "<rect class=\"night\" x=\"" + number(a, 1) + "\" y=\"" + number(top, 0) + "\" width=\"" +
                              number(b - a, 1) + "\" height=\"" + number(plotHeight, 0) + "\"/>";
        }
    }
    auto band = [&](const char* kind, double from, double to) {
        const double a = x(from), b = x(to);
        out += std::string("<rect class=\"") + kind + "\" x=\"" + number(a, 1) + "\" y=\"" + number(top, 0) +
               "\" width=\"" + number(std::max(b - a, 0.8), 1) + "\" height=\"" + number(plotHeight, 0) + "\"/>";
    };
    for (const auto& [from, to] : figures.unmonitored) band("off", static_cast<double>(from), static_cast<double>(to));
    for (const Incident* incident : downs) band("down", incident->start, incident->end);
    for (const auto& day : figures.days) {
        const auto midnight = HistoryReport::localMidnight(figures.zone, day.start);
        if (static_cast<double>(midnight) >= figures.from) {
            const double at = x(static_cast<double>(midnight));
            out += "<line class=\"axis\" x1=\"" + number(at, 1) + "\" y1=\"" + number(top, 0) + "\" x2=\"" + number(at, 1) +
                   "\" y2=\"" + number(height - foot + 3, 0) + "\"/>";
        }
        // A label where the day has room for it.
        if (day.end - day.start >= 18 * 3600 && figures.days.size() <= 10)
            out += "<text x=\"" + number(x(static_cast<double>(day.start)) + 2, 1) + "\" y=\"" + number(height - 2, 0) +
                   "\">" + dayText(figures.zone, static_cast<double>(day.start)) + "</text>";
    }
    // A day or two has no whole day to name: its hours instead, every three.
    if (span <= 2 * 86400) {
        for (auto hour = static_cast<std::int64_t>(std::ceil(figures.from / 3600)) * 3600; hour < figures.to; hour += 3600) {
            const std::tm p = localTime(figures.zone, static_cast<double>(hour));
            if (p.tm_hour % 3 != 0) continue;
            out += "<text x=\"" + number(x(static_cast<double>(hour)) - 12, 1) + "\" y=\"" + number(height - 2, 0) + "\">" +
                   clockText(figures.zone, static_cast<double>(hour)) + "</text>";
        }
    }
    // Lines, broken at every hour without a figure.
    for (const auto& [kind, p95] : {std::pair{"p95", true}, std::pair{"median", false}}) {
        std::string points;
        auto flush = [&] {
            if (points.find(' ') != std::string::npos) out += std::string("<polyline class=\"") + kind + "\" points=\"" + points + "\"/>";
            else if (!points.empty()) out += std::string("<polyline class=\"") + kind + "\" points=\"" + points + " " + points + "\"/>";
            points.clear();
        };
        for (const auto& bucket : series.hours) {
            const auto& value = p95 ? bucket.p95 : bucket.median;
            if (!value) {
                flush();
                continue;
            }
            if (!points.empty()) points += ' ';
            points += number(x(bucket.start + 1800), 1) + "," + number(y(*value), 1);
        }
        flush();
    }
    for (const auto& bucket : series.hours) {
        if (!bucket.lossPercent || *bucket.lossPercent <= 0) continue;
        const double h = std::max(2.0, std::min(*bucket.lossPercent, 20.0) / 20 * plotHeight * 0.5);
        out += "<rect class=\"loss\" x=\"" + number(x(bucket.start), 1) + "\" y=\"" + number(top + plotHeight - h, 1) +
               "\" width=\"" + number(std::max(x(bucket.start + 3600) - x(bucket.start), 1.0), 1) + "\" height=\"" +
               number(h, 1) + "\"/>";
    }
    out += "<rect class=\"frame\" x=\"" + number(left, 0) + "\" y=\"" + number(top, 0) + "\" width=\"" + number(plotWidth, 0) +
           "\" height=\"" + number(plotHeight, 0) + "\"/>";
    out += "<text x=\"0\" y=\"" + number(top + 8, 0) + "\">" + number(scale, 0) + " ms</text>";
    out += "<text x=\"0\" y=\"" + number(top + plotHeight, 0) + "\">0 ms</text>";
    out += "</svg>\n";
}

// Weekday (Monday first) by local hour: the median of the hours' medians,
// shaded by how far it rose above the window's typical hour; a dot where
// more than 1 % of probes were lost.
void heatMap(std::string& out, const Figures& figures, const Series& series) {
    struct Cell {
        std::vector<double> medians;
        std::int64_t hours = 0;
        double loss = 0;
    };
    std::array<std::array<Cell, 24>, 7> cells{};
    std::vector<double> all;
    for (const auto& bucket : series.hours) {
        if (bucket.start < figures.from || bucket.start >= figures.to) continue;
        const std::tm p = localTime(figures.zone, bucket.start);
        Cell& cell = cells[static_cast<std::size_t>((p.tm_wday + 6) % 7)][static_cast<std::size_t>(p.tm_hour)];
        if (bucket.median) {
            cell.medians.push_back(*bucket.median);
            all.push_back(*bucket.median);
        }
        if (bucket.lossPercent) {
            cell.loss += *bucket.lossPercent;
            ++cell.hours;
        }
    }
    std::sort(all.begin(), all.end());
    const double typical = Statistics::percentile(all, 0.5).value_or(0);
    struct Worst {
        double median;
        int day, hour;
        double loss;
    };
    std::vector<Worst> worst;
    constexpr double left = 34, top = 12, cellWidth = 28, cellHeight = 13;
    out += "<svg class=\"heat\" viewBox=\"0 0 720 106\" role=\"img\" aria-label=\"median round trip by weekday and hour\">";
    for (int hour = 0; hour < 24; hour += 3)
        out += "<text x=\"" + number(left + hour * cellWidth + 2, 0) + "\" y=\"9\">" + two(hour) + ":00</text>";
    static constexpr std::array<const char*, 7> names{"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
    for (int day = 0; day < 7; ++day) {
        out += "<text x=\"0\" y=\"" + number(top + day * cellHeight + 10, 0) + "\">" + names[static_cast<std::size_t>(day)] + "</text>";
        for (int hour = 0; hour < 24; ++hour) {
            Cell& cell = cells[static_cast<std::size_t>(day)][static_cast<std::size_t>(hour)];
            std::sort(cell.medians.begin(), cell.medians.end());
            const auto median = Statistics::percentile(cell.medians, 0.5);
            std::string kind = "none";
            if (median && typical > 0) {
                const double ratio = *median / typical;
                kind = ratio < 1.25 ? "c0" : ratio < 1.5 ? "c1" : ratio < 2 ? "c2" : ratio < 3 ? "c3" : "c4";
            } else if (median) {
                kind = "c0";
            }
            const double loss = cell.hours ? cell.loss / static_cast<double>(cell.hours) : 0;
            if (median) worst.push_back({*median, day, hour, loss});
            const double cx = left + hour * cellWidth, cy = top + day * cellHeight;
            out += "<rect class=\"" + kind + "\" x=\"" + number(cx, 0) + "\" y=\"" + number(cy, 0) + "\" width=\"" +
                   number(cellWidth - 1, 0) + "\" height=\"" + number(cellHeight - 1, 0) + "\"><title>" +
                   names[static_cast<std::size_t>(day)] + " " + two(hour) + ":00 " + milliseconds(median) + ", " +
                   number(loss, 1) + " % lost</title></rect>";
            if (loss > 1)
                out += "<circle class=\"dot\" cx=\"" + number(cx + cellWidth / 2, 1) + "\" cy=\"" +
                       number(cy + cellHeight / 2, 1) + "\" r=\"2.5\"/>";
        }
    }
    out += "</svg>\n";
    std::sort(worst.begin(), worst.end(), [](const Worst& a, const Worst& b) { return a.median > b.median; });
    out += "<p class=\"note\">Shade: the hour's median against the typical hour (" + milliseconds(typical) +
           "): <span class=\"key\" style=\"background:var(--h0)\"></span>under +25 %<span class=\"key\" "
           "style=\"background:var(--h1)\"></span>+25 %<span class=\"key\" style=\"background:var(--h2)\"></span>+50 %"
           "<span class=\"key\" style=\"background:var(--h3)\"></span>×2<span class=\"key\" style=\"background:var(--h4)\">"
           "</span>×3<span class=\"key\" style=\"background:var(--off)\"></span>not measured; a dot: over 1 % lost.";
    if (!worst.empty()) {
        out += " Worst hours: ";
        for (std::size_t i = 0; i < std::min<std::size_t>(3, worst.size()); ++i)
            out += std::string(i ? ", " : "") + names[static_cast<std::size_t>(worst[i].day)] + " " + two(worst[i].hour) +
                   ":00 (" + milliseconds(worst[i].median) + ")";
        out += ".";
    }
    out += "</p>\n";
}

std::string connectionWords(NetworkPath::Kind kind) {
    switch (kind) {
    case NetworkPath::Kind::wifi: return "Wi-Fi";
    case NetworkPath::Kind::ethernet: return "Ethernet";
    case NetworkPath::Kind::cellular: return "Cellular";
    case NetworkPath::Kind::other: return "Other";
    }
    return "";
}

std::string stateWords(MinuteState state) {
    switch (state) {
    case MinuteState::measured: return "measured";
    case MinuteState::paused: return "paused";
    case MinuteState::locked: return "screen locked";
    case MinuteState::asleep: return "asleep";
    case MinuteState::offline: return "offline";
    case MinuteState::notRunning: return "not running";
    }
    return "";
}

std::string unmonitoredText(const HistoryReport::StateSeconds& states) {
    std::string text;
    for (const auto& [state, seconds] : states) {
        if (state == MinuteState::measured || seconds <= 0) continue;
        text += (text.empty() ? "" : ", ") + stateWords(state) + " " + duration(static_cast<double>(seconds));
    }
    return text.empty() ? "none" : text;
}

std::string shareOf(std::int64_t part, std::int64_t whole) {
    return whole > 0 ? percent(static_cast<double>(part) / static_cast<double>(whole)) : "–";
}

void daysTable(std::string& out, const Figures& figures) {
    const Series* router = nullptr;
    const Series* internet = figures.mainSeries();
    for (const auto& series : figures.series)
        if (series.role.kind == TargetRole::Kind::router) router = &series;
    if (internet == router) internet = nullptr;
    out += "<table><tr><th>Day</th><th class=\"n\">Internet reachable</th><th class=\"n\">Latency good</th>";
    if (router) out += "<th class=\"n\">Router median / p95</th>";
    if (internet) out += "<th class=\"n\">" + escaped(internet->role.shownName(internet->host)) + " median / p95</th><th class=\"n\">Lost</th>";
    out += "<th class=\"n\">DNS median</th><th class=\"n\">DNS failures</th><th>Not monitored</th></tr>\n";
    for (std::size_t i = 0; i < figures.days.size(); ++i) {
        const auto& day = figures.days[i];
        out += "<tr><td>" + dayText(figures.zone, static_cast<double>(day.start)) + "</td><td class=\"n\">" +
               shareOf(day.reach.reachableSeconds, day.reach.probedSeconds) + "</td><td class=\"n\">" +
               shareOf(day.reach.goodSeconds, day.reach.probedSeconds) + "</td>";
        for (const Series* series : {router, internet}) {
            if (!series) continue;
            const ChartBucket& bucket = series->days[i];
            out += "<td class=\"n\">" + milliseconds(bucket.median) + " / " + milliseconds(bucket.p95) + "</td>";
            if (series == internet)
                out += "<td class=\"n\">" + (bucket.lossPercent ? NumberText::percent(*bucket.lossPercent) : "–") + "</td>";
        }
        out += "<td class=\"n\">" + milliseconds(day.lookups.median) + "</td><td class=\"n\">" +
               std::to_string(day.lookups.failures) + "</td><td class=\"off-minutes\">" + unmonitoredText(day.states) +
               "</td></tr>\n";
    }
    out += "</table>\n";
}

void incidentsTable(std::string& out, const Figures& figures) {
    // The outages that cut the machine off first, then the rest by length; listed by time.
    const auto downs = figures.downs();
    std::vector<const Incident*> chosen = downs;
    std::vector<const Incident*> rest;
    for (const auto& incident : figures.incidents)
        if (std::find(downs.begin(), downs.end(), &incident) == downs.end()) rest.push_back(&incident);
    std::stable_sort(rest.begin(), rest.end(), [](const Incident* a, const Incident* b) { return a->duration() > b->duration(); });
    chosen.insert(chosen.end(), rest.begin(), rest.end());
    const std::size_t left = chosen.size() > listedIncidents ? chosen.size() - listedIncidents : 0;
    chosen.resize(std::min(chosen.size(), listedIncidents));
    std::sort(chosen.begin(), chosen.end(), [](const Incident* a, const Incident* b) { return a->start < b->start; });
    if (chosen.empty()) {
        out += "<p>No outages and no spikes.</p>\n";
        return;
    }
    out += "<table><tr><th>Start</th><th>End</th><th class=\"n\">Duration</th><th>What</th><th>Where</th><th>Targets</th>"
           "<th class=\"n\">Worst</th></tr>\n";
    for (const Incident* incident : chosen) {
        out += "<tr><td>" + dateTimeText(figures.zone, incident->start) + "</td><td>" + clockText(figures.zone, incident->end) +
               "</td><td class=\"n\">" + duration(incident->duration()) + "</td><td>" + std::string(incident->title()) + "</td><td>" +
               where(*incident) + "</td><td>" + escaped(targetsText(*incident)) + "</td><td class=\"n\">" +
               (incident->worstRTT ? milliseconds(incident->worstRTT) : "") + "</td></tr>\n";
    }
    out += "</table>\n";
    if (left > 0)
        out += "<p class=\"note\">" + plural(static_cast<std::int64_t>(left), "more incident is", "more incidents are") +
               " not listed; every event is in the events export (nerivane-history export events).</p>\n";
}

void gradesTable(std::string& out, const Figures& figures) {
    out += "<table><tr><th>Direction</th><th>Role</th><th class=\"n\">Idle median</th><th class=\"n\">Busy median</th>"
           "<th class=\"n\">Added</th><th class=\"n\">Busy replies</th><th class=\"n\">Grade</th></tr>\n";
    for (const auto& grade : figures.grades.grades) {
        out += std::string("<tr><td>") + (grade.direction == LoadDirection::upload ? "Upload" : "Download") + "</td><td>" +
               std::string(HistoryGrades::text(grade.role)) + "</td><td class=\"n\">" + milliseconds(grade.idleMedian) +
               "</td><td class=\"n\">" + milliseconds(grade.busyMedian) + "</td><td class=\"n\">" +
               milliseconds(grade.added) + "</td><td class=\"n\">" + std::to_string(grade.busyReplies) +
               "</td><td class=\"n\">" + (grade.grade ? std::string(nerivane::text(*grade.grade)) : "–") + "</td></tr>\n";
    }
    out += "</table>\n";
}

void factsList(std::string& out, const Figures& figures, const Facts& facts) {
    auto fact = [&](const std::string& name, const std::string& value) {
        out += "<dt>" + name + "</dt><dd>" + value + "</dd>";
    };
    out += "<dl>";
    fact("Connection", facts.connection ? connectionWords(*facts.connection) : "not recorded in the history");
    if (facts.wifiName) fact("Wi-Fi network", escaped(*facts.wifiName));
    std::string router, targets;
    for (const auto& target : figures.targets) {
        if (target.role.kind == TargetRole::Kind::router)
            router += (router.empty() ? "" : ", ") + escaped(target.address);
        const double interval = target.sent > 0 ? static_cast<double>(target.seconds) / static_cast<double>(target.sent) : 0;
        targets += "<div>" + escaped(target.role.shownName(target.host)) + " — " + escaped(target.address) + ", " +
                   std::string(nerivane::text(target.protocol)) + ", " + std::to_string(target.sent) + " probes" +
                   (interval > 0 ? ", about one every " + number(interval, interval < 10 ? 1 : 0) + " s" : "") + "</div>";
    }
    fact("Router", router.empty() ? "not probed" : router);
    fact("Targets", targets.empty() ? "none" : targets);
    fact("Period", dateTimeText(figures.zone, figures.from) + " to " + dateTimeText(figures.zone, figures.to));
    const int offset = figures.zone.offset(static_cast<std::int64_t>(figures.to));
    fact("Time zone", escaped(facts.zoneName ? *facts.zoneName + " (" + offsetText(offset) + ")" : offsetText(offset)));
    fact("Records", plural(figures.minuteRows, "minute", "minutes") + " and " + plural(figures.hourRows, "hour", "hours") +
                        " (hours: rolled up after 7 days); figures are medians of their medians and 95th percentiles of their 95th percentiles");
    fact("Not monitored", "<span class=\"off-minutes\">" + unmonitoredText(figures.states) +
                              "</span> — shown as such, never as outages");
    fact("nerivane", escaped(facts.version.empty() ? "unknown version" : facts.version));
    out += "</dl>\n";
}

}  // namespace

std::string summary(const Figures& figures) {
    std::string text = "Over " + spanWords(figures) + " the internet was ";
    const auto downs = figures.downs();
    if (downs.empty()) text += "never down";
    else if (downs.size() == 1) text += "down once for " + spokenDuration(figures.downSeconds());
    else text += "down " + std::to_string(downs.size()) + " times for " + spokenDuration(figures.downSeconds()) + " in all";
    const auto& reach = figures.reach;
    if (reach.probedSeconds > 0)
        text += "; latency was good " + percent(static_cast<double>(reach.goodSeconds) / static_cast<double>(reach.probedSeconds)) +
                " of the time";
    else text += "; latency was not measured";
    const auto* upload = gradeOf(figures, LoadDirection::upload);
    const auto* download = gradeOf(figures, LoadDirection::download);
    if (upload && upload->added) text += "; uploads added " + gradeClause(*upload);
    if (download && download->added) text += std::string(upload && upload->added ? ", downloads " : "; downloads added ") + gradeClause(*download);
    return text + ".";
}

std::string html(const Figures& figures, const Facts& facts) {
    std::string out;
    out.reserve(256 * 1024);
    const std::string period = dateTimeText(figures.zone, figures.from) + " – " + dateTimeText(figures.zone, figures.to);
    out += "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
           "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
           "<meta name=\"color-scheme\" content=\"light dark\"><title>Network report, " + period + "</title><style>";
    out += style;
    out += "</style></head><body>\n<header><h1>Network report</h1><p class=\"sub\">" + period + " (" +
           offsetText(figures.zone.offset(static_cast<std::int64_t>(figures.to))) + "), measured by nerivane</p></header>\n";
    out += "<p class=\"summary\">" + escaped(summary(figures)) + "</p>\n";

    const auto downs = figures.downs();
    out += "<section><h2>Round trip per hour</h2><p class=\"note\"><span class=\"key\" style=\"background:var(--median)\">"
           "</span>median<span class=\"key\" style=\"background:var(--p95)\"></span>95th percentile<span class=\"key\" "
           "style=\"background:var(--loss)\"></span>lost probes<span class=\"key\" style=\"background:var(--down)\"></span>"
           "internet down<span class=\"key\" style=\"background:var(--off)\"></span>not monitored<span class=\"key\" "
           "style=\"background:var(--night)\"></span>night (22:00–06:00); a gap in a line is an hour without "
           "figures.</p>\n";
    for (const auto& series : figures.series) {
        out += "<p><b>" + escaped(series.role.shownName(series.host)) + "</b></p>";
        chart(out, figures, series, downs);
    }
    out += "</section>\n";

    out += "<section><h2>Per day</h2><p class=\"note\">Internet reachable: the share of measured time in which an "
           "internet host answered; latency good: besides, no internet host's 95th percentile over " +
           number(Thresholds::internet().p95, 0) + " ms or jitter over " + number(Thresholds::internet().jitter, 0) +
           " ms. Time not monitored counts in neither.</p>\n";
    daysTable(out, figures);
    out += "</section>\n";

    if (const Series* main = figures.mainSeries()) {
        out += "<section><h2>Hours of the week: " + escaped(main->role.shownName(main->host)) + "</h2>\n";
        heatMap(out, figures, *main);
        out += "</section>\n";
    }

    out += "<section><h2>Outages and spikes</h2>\n";
    incidentsTable(out, figures);
    out += "</section>\n";

    out += "<section class=\"grid\"><div><h2>Latency under load</h2>\n";
    gradesTable(out, figures);
    out += "<p class=\"note\">A+ under 5 ms added, A 30 ms, B 60 ms, C 200 ms, D 400 ms, else F; no grade from fewer than " +
           std::to_string(HistoryGrades::leastBusyReplies) + " busy replies.</p></div>\n";
    out += "<div><h2>Name lookups (DNS)</h2><dl><dt>Median answer</dt><dd>" + milliseconds(figures.lookups.median) +
           "</dd><dt>Failed lookups</dt><dd>" + std::to_string(figures.lookups.failures) + "</dd><dt>Measured</dt><dd>" +
           plural(figures.lookups.periods, "period", "periods") + " with lookups</dd></dl></div></section>\n";

    out += "<section><h2>This machine</h2>\n";
    factsList(out, figures, facts);
    out += "</section>\n";
    out += "<footer>Made by nerivane " + escaped(facts.version) + ", " + homepage +
           ". Every figure comes from the history file, as its CSV export holds it.</footer>\n</body></html>\n";
    return out;
}

std::optional<std::string> localZoneName() {
    if (const char* zone = std::getenv("TZ"); zone && *zone) return std::string(*zone == ':' ? zone + 1 : zone);
    std::error_code error;
    const auto target = std::filesystem::read_symlink("/etc/localtime", error);
    if (error) return std::nullopt;
    const std::string text = target.string();
    const auto at = text.find("zoneinfo/");
    if (at == std::string::npos) return std::nullopt;
    return text.substr(at + 9);
}

}  // namespace nerivane::HistoryReportPage
