#include "nerivane/export/DiagnosticsSummary.h"

#include <QJsonArray>
#include <QRegularExpression>
#include <algorithm>
#include <cmath>
#include <map>

#include "NerivaneKit/history/HistoryQueries.h"
#include "NerivaneKit/platform/NumberText.h"

namespace nerivane {
namespace {

// Nearest rank: the value at or below which the share of the values lies.
std::optional<double> percentile(std::vector<double> values, double share) {
    if (values.empty()) return std::nullopt;
    std::sort(values.begin(), values.end());
    const auto rank = static_cast<std::size_t>(std::ceil(share * static_cast<double>(values.size())));
    return values[std::clamp<std::size_t>(rank, 1, values.size()) - 1];
}

QString qtext(const std::string& text) { return QString::fromStdString(text); }
QString qview(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

QJsonValue milliseconds(const std::optional<double>& value) {
    return value ? QJsonValue(NumberText::rounded(*value, 3)) : QJsonValue(QJsonValue::Null);
}

double lossPercent(const DiagnosticsSummary::Target& target) {
    return target.sent > 0 ? static_cast<double>(target.lost) * 100 / static_cast<double>(target.sent) : 0;
}

}  // namespace

DiagnosticsSummary DiagnosticsSummary::read(const HistoryQueries& queries, double now, const TimeZone& zone) {
    DiagnosticsSummary summary;
    summary.now = now;
    summary.zone = zone;
    summary.historyRead = true;
    const auto since = Database::Value::integer(static_cast<std::int64_t>(std::floor(now - hour)));

    // In the order of the aggregates read (role order, then address), one entry per target.
    std::vector<std::pair<std::string, std::string>> order;
    std::map<std::pair<std::string, std::string>, std::pair<std::vector<double>, std::vector<double>>> figures;
    std::map<std::pair<std::string, std::string>, Target> targets;
    for (const AggregateRow& row : queries.aggregates("start >= ?", {since})) {
        const std::pair key{row.role.text(), row.address};
        if (!targets.contains(key)) {
            order.push_back(key);
            Target fresh;
            fresh.role = key.first;
            fresh.address = key.second;
            targets[key] = fresh;
        }
        Target& target = targets[key];
        target.sent += row.sent;
        target.lost += row.lost;
        if (row.median) figures[key].first.push_back(*row.median);
        if (row.p95) figures[key].second.push_back(*row.p95);
    }
    for (const auto& key : order) {
        Target target = targets[key];
        target.median = percentile(figures[key].first, 0.5);
        target.p95 = percentile(figures[key].second, 0.95);
        summary.targets.push_back(target);
    }

    const auto local = static_cast<std::int64_t>(std::floor(now)) + zone.offset(static_cast<std::int64_t>(now));
    const std::int64_t midnight = local - local % 86400 - zone.offset(static_cast<std::int64_t>(now));
    // Outages of several targets at once are one outage: overlapping spans merge.
    std::vector<std::pair<double, double>> spans;
    for (const NetworkEvent& event : queries.events("start >= ?", {Database::Value::integer(midnight)})) {
        if (event.kind == NetworkEvent::Kind::outage) spans.emplace_back(event.start, event.end);
    }
    std::sort(spans.begin(), spans.end());
    std::optional<std::pair<double, double>> open;
    const auto close = [&] {
        if (!open) return;
        ++summary.outagesToday;
        summary.outageSecondsToday += open->second - open->first;
    };
    for (const auto& span : spans) {
        if (open && span.first <= open->second) {
            open->second = std::max(open->second, span.second);
            continue;
        }
        close();
        open = span;
    }
    close();

    std::vector<double> dns;
    for (const PeriodRow& row : queries.periods("start >= ?", {since})) {
        if (row.dnsMedian) dns.push_back(*row.dnsMedian);
        summary.dnsFailures += row.dnsFailures.value_or(0);
    }
    summary.dnsMedian = percentile(dns, 0.5);

    const auto grades = HistoryGrades::read(queries, dateFromUnixSeconds(now - 24 * hour), dateFromUnixSeconds(now)).grades;
    for (const auto& grade : grades) {
        if (grade.role == HistoryGrades::Role::internet) summary.grades.push_back(grade);
    }
    return summary;
}

std::optional<std::string> DiagnosticsSummary::verdictOf(const QString& report) {
    static const QRegularExpression verdict(QStringLiteral("^verdict (\\w+)"), QRegularExpression::MultilineOption);
    const auto match = verdict.match(report);
    if (!match.hasMatch()) return std::nullopt;
    return match.captured(1).toStdString();
}

QStringList DiagnosticsSummary::lines() const {
    QStringList lines{QStringLiteral("summary:")};
    lines << (verdict ? QStringLiteral("verdict %1").arg(qtext(*verdict)) : QStringLiteral("verdict unknown: no instance answers"));
    if (!historyRead) {
        lines << QStringLiteral("no history could be read");
        return lines;
    }
    lines << QStringLiteral("last hour, per target:");
    if (targets.empty()) lines << QStringLiteral("  no probes stored");
    for (const Target& target : targets) {
        lines << QStringLiteral("  %1 %2: median %3, p95 %4, loss %5 of %6 probes")
                     .arg(qtext(target.role), qtext(target.address), qtext(NumberText::milliseconds(target.median)),
                          qtext(NumberText::milliseconds(target.p95)), qtext(NumberText::percent(lossPercent(target))))
                     .arg(target.sent);
    }
    lines << (outagesToday == 0 ? QStringLiteral("outages today: none")
                                : QStringLiteral("outages today: %1, %2 in all")
                                      .arg(outagesToday)
                                      .arg(qtext(NumberText::duration(outageSecondsToday))));
    lines << (dnsMedian ? QStringLiteral("name lookups, last hour: median %1, %2 failed")
                              .arg(qtext(NumberText::milliseconds(dnsMedian)))
                              .arg(dnsFailures)
                        : QStringLiteral("name lookups, last hour: none stored"));
    QStringList graded;
    for (const auto& grade : grades) {
        const QString direction = qview(text(grade.direction));
        graded << (grade.grade ? QStringLiteral("%1 %2 (+%3)")
                                     .arg(direction, qview(text(*grade.grade)),
                                          qtext(NumberText::milliseconds(std::max(grade.added.value_or(0), 0.0))))
                               : QStringLiteral("%1 not graded").arg(direction));
    }
    lines << QStringLiteral("grades, last day: ") + (graded.isEmpty() ? QStringLiteral("none") : graded.join(QStringLiteral(", ")));
    return lines;
}

QJsonObject DiagnosticsSummary::json(const QString& report) const {
    QJsonArray targetList;
    for (const Target& target : targets) {
        targetList.append(QJsonObject{
            {QStringLiteral("role"), qtext(target.role)},
            {QStringLiteral("address"), qtext(target.address)},
            {QStringLiteral("medianMs"), milliseconds(target.median)},
            {QStringLiteral("p95Ms"), milliseconds(target.p95)},
            {QStringLiteral("lossPercent"), NumberText::rounded(lossPercent(target), 3)},
            {QStringLiteral("probesSent"), static_cast<double>(target.sent)},
            {QStringLiteral("probesLost"), static_cast<double>(target.lost)},
        });
    }
    QJsonArray gradeList;
    for (const auto& grade : grades) {
        gradeList.append(QJsonObject{
            {QStringLiteral("direction"), qview(text(grade.direction))},
            {QStringLiteral("grade"), grade.grade ? QJsonValue(qview(text(*grade.grade))) : QJsonValue(QJsonValue::Null)},
            {QStringLiteral("addedMs"), milliseconds(grade.added)},
        });
    }
    QJsonArray detail;
    for (const QString& line : report.split(u'\n', Qt::SkipEmptyParts)) detail.append(line);
    return QJsonObject{
        {QStringLiteral("type"), QStringLiteral("diagnostics")},
        {QStringLiteral("schema"), 1},
        {QStringLiteral("timeUnixSeconds"), NumberText::rounded(now, 6)},
        {QStringLiteral("verdict"), verdict ? QJsonValue(qtext(*verdict)) : QJsonValue(QJsonValue::Null)},
        {QStringLiteral("historyRead"), historyRead},
        {QStringLiteral("lastHour"), targetList},
        {QStringLiteral("outagesToday"), outagesToday},
        {QStringLiteral("outageSecondsToday"), NumberText::rounded(outageSecondsToday, 6)},
        {QStringLiteral("dnsMedianMs"), milliseconds(dnsMedian)},
        {QStringLiteral("dnsFailedLookups"), static_cast<double>(dnsFailures)},
        {QStringLiteral("grades"), gradeList},
        {QStringLiteral("detail"), detail},
    };
}

}  // namespace nerivane
